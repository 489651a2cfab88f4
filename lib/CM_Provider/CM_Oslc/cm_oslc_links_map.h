// CM_LinksMap: the links of one record, universal selector (the link's resource URI) -> version
// whose name is the link's title, keys in byte-wise order. The map owns its versions, and keeps
// them and its nodes in its own arena (CM_LinksArena), so that a record of a hundred thousand
// links costs a few dozen heap blocks instead of three per link, and is released at once.
// A version belongs to the map that made it (NewVersion): it must not be moved into another map.
// Local to one COMMIT's engine and to tests; one thread at a time; nothing throws but bad_alloc.
#ifndef CM_PROVIDER_CM_OSLC_CM_OSLC_LINKS_MAP_H
#define CM_PROVIDER_CM_OSLC_CM_OSLC_LINKS_MAP_H

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <memory_resource>
#include <string_view>
#include <utility>
#include <vector>

#include <cm_version_info.h>
#include <sum_string.h>

// Bump allocation from blocks taken from the heap; nothing is given back before Reset or the end.
class CM_LinksArena : public std::pmr::memory_resource {
 public:
  CM_LinksArena() = default;
  ~CM_LinksArena() override;
  CM_LinksArena(const CM_LinksArena&) = delete;
  CM_LinksArena& operator=(const CM_LinksArena&) = delete;

  // Makes every block free for reuse; what was allocated must be destroyed already.
  void Reset();

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  struct FreeBlock {
    void operator()(char* block) const;
  };
  struct Block {
    std::unique_ptr<char, FreeBlock> bytes;
    std::size_t size;
  };
  std::vector<Block> m_blocks;
  std::size_t m_block = 0;  // index of the block being filled
  std::size_t m_used = 0;   // bytes of it taken
};

// Ends a version made by NewVersion; its memory goes with the arena.
struct CM_VersionInfoEnd {
  void operator()(CM_VersionInfo* version) const { version->~CM_VersionInfo(); }
};
using CM_VersionInfoPtr = std::unique_ptr<CM_VersionInfo, CM_VersionInfoEnd>;

namespace cm_links_detail {
// Constructed before the map that allocates from it, destroyed after it.
struct ArenaHolder {
  CM_LinksArena m_arena;
};
}  // namespace cm_links_detail

class CM_LinksMap : private cm_links_detail::ArenaHolder,
                    public std::pmr::map<SUM_String, CM_VersionInfoPtr> {
 public:
  using Base = std::pmr::map<SUM_String, CM_VersionInfoPtr>;

  CM_LinksMap() : Base(&m_arena) {}
  CM_LinksMap(const CM_LinksMap&) = delete;
  CM_LinksMap& operator=(const CM_LinksMap&) = delete;

  // A version named name, owned by this map once stored in it.
  CM_VersionInfoPtr NewVersion(const SUM_String& name);
  // Empties the map and takes its memory back for the next record.
  void clear() {
    Base::clear();
    m_arena.Reset();
  }
};

// A record's links as views, in key order without repeats: what a COMMIT reads and writes, and
// what an untraced one edits without the nodes of a links map. Each text lies in the answer it
// was read from, in a scheduled action, in a links map, or in `store`; the list is good while
// they are.
struct CM_LinkView {
  std::string_view selector;
  std::string_view title;
};

struct CM_LinkList {
  std::vector<CM_LinkView> links;
  std::deque<SUM_String> store;  // texts nothing else holds

  void Clear() {
    links.clear();
    store.clear();
  }
  // A view of text, kept in store.
  std::string_view Keep(SUM_String text) {
    store.push_back(std::move(text));
    return sum_view(store.back());
  }
};

#endif
