// Internal: memory for tables that grow large and live long, in blocks of
// whole 2 MiB units.
//
// A table that grows to hundreds of thousands of items touches megabytes
// of fresh memory as it grows. Taken from the heap in small pieces, each
// 4 KiB page of it costs a page fault at its first touch, and on a virtual
// machine such a fault costs microseconds: for a scheduler's tables that
// was most of the time of a burst of adds. These blocks are aligned to and
// sized in 2 MiB units, which Linux may back with huge pages (asked for
// with madvise, so it holds under the "madvise" policy of transparent huge
// pages as well as "always"): one fault per 2 MiB instead of 512.
//
// The price: with huge pages, a block is resident as a whole once touched,
// and the kernel may compact memory to find one (a stall of the thread
// that touches it, on a host whose memory is fragmented). So a table turns
// to these blocks only once it is large, and only where huge pages can back
// them (large_blocks_pay): on Windows, large pages need a privilege that a
// service rarely holds, and a committed block would be charged whole for
// nothing.
#pragma once

#include <cstddef>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// Whether the platform may back large blocks with huge pages, and so
// whether a growing table gains from them.
#if defined(__linux__)
constexpr bool large_blocks_pay = true;
#else
constexpr bool large_blocks_pay = false;
#endif

// The unit: the size of an x86-64 huge page.
constexpr std::size_t kLargeBlockUnit = std::size_t{2} << 20;

// `size` rounded up to whole units.
constexpr std::size_t large_block_size(std::size_t size) {
  return (size + kLargeBlockUnit - 1) / kLargeBlockUnit * kLargeBlockUnit;
}

// A zero-filled block of `size` bytes (whole units); null when the memory
// cannot be had. Aligned to a unit on Linux, so that huge pages can back
// it, and to at least 64 KiB elsewhere. Safe from any thread. Pages come in
// as they are first touched, as the heap's do.
KRCORE_INTERNAL void* large_block_alloc(std::size_t size) noexcept;
// Gives back a block with the size it was asked with; accepts null.
KRCORE_INTERNAL void large_block_free(void* block, std::size_t size) noexcept;

// Hands out pieces of large blocks that all live until the pool goes: the
// storage of a table that only ever grows. Not thread-safe; the owner's
// lock guards it. The pieces are zero-filled and aligned to 64 bytes (a
// cache line); nothing is constructed in them.
class KRCORE_INTERNAL large_pool {
 public:
  large_pool() = default;
  large_pool(const large_pool&) = delete;
  large_pool& operator=(const large_pool&) = delete;
  // Frees every block: whatever was made in the pieces must be destroyed
  // first.
  ~large_pool();

  // A piece of `size` bytes (at least 1), from the current block or a new
  // one. Throws std::bad_alloc with the pool unchanged.
  void* take(std::size_t size);

 private:
  struct block {
    void* base;
    std::size_t size;
  };
  std::vector<block> _blocks;
  char* _next = nullptr;
  char* _end = nullptr;
};

}  // namespace krCore::detail
