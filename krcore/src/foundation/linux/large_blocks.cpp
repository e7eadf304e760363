// Large blocks on Linux: anonymous mappings aligned to 2 MiB, with
// transparent huge pages asked for (see large_blocks.h).
#include <sys/mman.h>

#include <cstdint>

#include "foundation/large_blocks.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace krCore::detail {

void* large_block_alloc(std::size_t size) noexcept {
  if (size == 0 || size % kLargeBlockUnit != 0) return nullptr;
  // A mapping one unit longer holds an aligned block; the ends outside it
  // go back at once.
  const std::size_t mapped = size + kLargeBlockUnit;
  void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kLargeBlockUnit - 1) & ~(kLargeBlockUnit - 1);
  if (aligned > start) ::munmap(p, aligned - start);
  const std::uintptr_t tail = start + mapped - (aligned + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
  // A hint: refused (no transparent huge pages in this kernel), the block
  // is made of small pages, as the heap's are.
  (void)::madvise(block, size, MADV_HUGEPAGE);
#if defined(__SANITIZE_ADDRESS__)
  // The leak checker scans the heap, not mappings: the owning pointers a
  // table keeps here would leave what they own looking leaked.
  __lsan_register_root_region(block, size);
#endif
  return block;
}

void large_block_free(void* block, std::size_t size) noexcept {
  if (!block) return;
#if defined(__SANITIZE_ADDRESS__)
  __lsan_unregister_root_region(block, size);
#endif
  ::munmap(block, size);
}

}  // namespace krCore::detail
