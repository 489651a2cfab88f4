#include "CM_Provider/cm_action_map.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>

#include "CM_Provider/cm_mr_cmi_parser.h"

const char* action_name(CM_ActionType type) {
  switch (type) {
    case CM_ActionType::None:
      return "None";
    case CM_ActionType::Associate:
      return "Associate";
    case CM_ActionType::Disassociate:
      return "Disassociate";
    case CM_ActionType::Validate:
      return "Validate";
    case CM_ActionType::Repair:
      return "Repair";
  }
  return "Unknown";
}

CM_Action::CM_Action(CM_ActionType type, CM_ChangeData* data)
    : m_type(type), m_data(data, DataRelease{}) {}

CM_Action::CM_Action(CM_ActionType type, CM_ChangeData* data, DataRelease release)
    : m_type(type), m_data(data, release) {}

CM_Action::~CM_Action() = default;

void CM_Action::DataRelease::operator()(CM_ChangeData* data) const {
  if (in_block)
    data->~CM_ChangeData();
  else
    delete data;
}

std::string CM_Action::record_id() const {
  if (!m_data) return std::string();
  return m_data->get_record_id();
}

bool CM_ActionMap::add(std::unique_ptr<CM_Action> action) {
  if (!action) return false;
  std::string id = action->record_id();
  auto it = m_map.find(id);
  const bool created = it == m_map.end();
  if (created) it = m_map.emplace(std::move(id), CM_ActionList()).first;
  // All room first, so that a failure leaves the map as it was; nothing after it throws.
  void* data_room = nullptr;
  void* action_room = nullptr;
  try {
    CM_ActionList& list = it->second;
    if (list.size() == list.capacity()) list.reserve(std::max<std::size_t>(4, 2 * list.size()));
    if (action->m_data) data_room = m_room.allocate(sizeof(CM_ChangeData), alignof(CM_ChangeData));
    action_room = m_room.allocate(sizeof(CM_Action), alignof(CM_Action));
  } catch (...) {
    if (created) m_map.erase(it);
    throw;
  }
  CM_ChangeData* data =
      data_room ? new (data_room) CM_ChangeData(std::move(*action->m_data)) : nullptr;
  const CM_Action* kept =
      new (action_room) CM_Action(action->m_type, data, CM_Action::DataRelease{true});
  it->second.push_back(kept);
  return created;
}

void CM_ActionMap::clear() {
  for (auto& entry : m_map)
    for (const CM_Action* action : entry.second) action->~CM_Action();
  m_map.clear();
  m_room.release();
}

std::size_t CM_ActionMap::action_count() const {
  std::size_t n = 0;
  for (const auto& entry : m_map) n += entry.second.size();
  return n;
}

const CM_ActionList* CM_ActionMap::find(const std::string& record_id) const {
  auto it = m_map.find(record_id);
  return it == m_map.end() ? nullptr : &it->second;
}
