// Scheduled work of one provider: CM_Action (one association change for one record) and
// CM_ActionMap (record id -> the record's actions, in scheduling order). ASSOCIATE and
// DISASSOCIATE fill the map, COMMIT hands it to the association engine and empties it.
// Ownership: an action owns its CM_ChangeData; the map owns its lists and their actions, which
// it keeps (with their data) in blocks of its own.
// Not thread-safe: the host calls one operation at a time. Any module above cm_core may read it.
#ifndef CM_PROVIDER_CM_ACTION_MAP_H
#define CM_PROVIDER_CM_ACTION_MAP_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

class CM_ChangeData;

enum class CM_ActionType : std::int32_t {
  None = 0,
  Associate = 1,
  Disassociate = 2,
  Validate = 3,
  Repair = 4,
};

// "None", "Associate", "Disassociate", "Validate", "Repair"; "Unknown" for any other value.
const char* action_name(CM_ActionType type);

class CM_Action {
 public:
  // Takes ownership of `data` (may be null only in tests of the map itself).
  CM_Action(CM_ActionType type, CM_ChangeData* data);
  ~CM_Action();
  CM_Action(const CM_Action&) = delete;
  CM_Action& operator=(const CM_Action&) = delete;

  CM_ActionType get_type() const { return m_type; }
  // The TW version and MR record of this action; owned by the action.
  const CM_ChangeData* get_data() const { return m_data.get(); }
  const char* action_name() const { return ::action_name(m_type); }
  // The record id the action is filed under ("" when the action has no data).
  std::string record_id() const;

 private:
  friend class CM_ActionMap;
  // Data in the map's blocks is only destroyed; the map gives the room back.
  struct DataRelease {
    bool in_block = false;
    void operator()(CM_ChangeData* data) const;
  };
  CM_Action(CM_ActionType type, CM_ChangeData* data, DataRelease release);

  CM_ActionType m_type;
  std::unique_ptr<CM_ChangeData, DataRelease> m_data;
};

// Actions of one record, in the order they were scheduled. Nothing is merged or filtered. The
// map owns them: they live until it removes their entry.
using CM_ActionList = std::vector<const CM_Action*>;

// Record id -> actions, ordered by byte-wise comparison of the ids (std::string's order).
class CM_ActionMap {
 public:
  using Map = std::map<std::string, CM_ActionList>;
  using const_iterator = Map::const_iterator;

  CM_ActionMap() = default;
  ~CM_ActionMap() { clear(); }
  CM_ActionMap(const CM_ActionMap&) = delete;
  CM_ActionMap& operator=(const CM_ActionMap&) = delete;

  // Files `action` at the end of its record's list: the action and its data move into the
  // map's own blocks, and what `action` held is freed. Returns true when the record had no entry
  // before (a new entry was made), false when the action joined an existing list. Throws
  // std::bad_alloc, the map unchanged.
  bool add(std::unique_ptr<CM_Action> action);
  // Removes every entry, releasing its actions.
  void clear();

  bool empty() const { return m_map.empty(); }
  std::size_t size() const { return m_map.size(); }  // number of records
  std::size_t action_count() const;                  // number of actions over all records
  const CM_ActionList* find(const std::string& record_id) const;  // null when absent

  const_iterator begin() const { return m_map.begin(); }
  const_iterator end() const { return m_map.end(); }

 private:
  Map m_map;
  // The filed actions and their data. A COMMIT releases every action at once, tens of thousands
  // in a bulk link: they go with a few blocks instead of two heap frees each.
  std::pmr::monotonic_buffer_resource m_room{4096};
};

#endif
