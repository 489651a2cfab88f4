#include "CM_Provider/CM_Oslc/cm_oslc_links_map.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

// Below the heap's threshold for mapping fresh pages: blocks come from memory the process has
// touched before, where fresh pages would fault one at a time.
constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

void CM_LinksArena::FreeBlock::operator()(char* block) const { std::free(block); }

CM_LinksArena::~CM_LinksArena() = default;

void CM_LinksArena::Reset() {
  m_block = 0;
  m_used = 0;
}

void* CM_LinksArena::do_allocate(std::size_t bytes, std::size_t alignment) {
  // Blocks start at malloc's alignment, which serves every node and version.
  if (alignment > alignof(std::max_align_t)) throw std::bad_alloc();
  for (;;) {
    for (; m_block < m_blocks.size(); ++m_block, m_used = 0) {
      Block& block = m_blocks[m_block];
      const std::size_t start = (m_used + alignment - 1) & ~(alignment - 1);
      if (start <= block.size && bytes <= block.size - start) {
        m_used = start + bytes;
        return block.bytes.get() + start;
      }
    }
    const std::size_t size = bytes > kBlockSize ? bytes : kBlockSize;
    std::unique_ptr<char, FreeBlock> fresh(static_cast<char*>(std::malloc(size)));
    if (!fresh) throw std::bad_alloc();
    m_blocks.push_back(Block{std::move(fresh), size});
    m_block = m_blocks.size() - 1;
    m_used = 0;
  }
}

CM_VersionInfoPtr CM_LinksMap::NewVersion(const SUM_String& name) {
  void* place = m_arena.allocate(sizeof(CM_VersionInfo), alignof(CM_VersionInfo));
  return CM_VersionInfoPtr(new (place) CM_VersionInfo(name));
}
