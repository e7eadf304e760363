// The pool of large blocks that a growing table carves its storage from
// (see large_blocks.h); the blocks themselves come from the platform half.
#include "foundation/large_blocks.h"

#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KRCORE_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define KRCORE_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define KRCORE_POISON(address, size) ((void)(address), (void)(size))
#define KRCORE_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace krCore::detail {

// Under the address sanitizer, the part of a block not yet handed out is
// poisoned, so that an overrun of the last piece is caught as it would be
// past a heap block; the whole block is made clean again before it goes,
// since the next mapping at that address is somebody else's.
large_pool::~large_pool() {
  for (const block& b : _blocks) {
    KRCORE_UNPOISON(b.base, b.size);
    large_block_free(b.base, b.size);
  }
}

void* large_pool::take(std::size_t size) {
  constexpr std::size_t kAlign = 64;
  if (size == 0 || size > SIZE_MAX - kLargeBlockUnit) throw std::bad_alloc();
  size = (size + kAlign - 1) / kAlign * kAlign;
  if (static_cast<std::size_t>(_end - _next) < size) {
    // The rest of the current block is left unused: the pieces a table
    // asks for are few and large, so little is lost.
    if (_blocks.size() == _blocks.capacity()) _blocks.reserve(2 * _blocks.size() + 1);
    const std::size_t bytes = large_block_size(size);
    void* base = large_block_alloc(bytes);
    if (!base) throw std::bad_alloc();
    KRCORE_POISON(base, bytes);
    _blocks.push_back({base, bytes});
    _next = static_cast<char*>(base);
    _end = _next + bytes;
  }
  void* piece = _next;
  _next += size;
  KRCORE_UNPOISON(piece, size);
  return piece;
}

}  // namespace krCore::detail
