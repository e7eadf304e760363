// Large blocks on Windows: committed virtual memory, which the system
// zero-fills as it is first touched. Large pages need a privilege that a
// service rarely holds, so the blocks are of small pages; aligned to the
// allocation granularity, which is all the tables need.
#include <windows.h>

#include "foundation/large_blocks.h"

namespace krCore::detail {

void* large_block_alloc(std::size_t size) noexcept {
  if (size == 0 || size % kLargeBlockUnit != 0) return nullptr;
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void large_block_free(void* block, std::size_t) noexcept {
  if (block) ::VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace krCore::detail
