// The pool of large blocks that a growing table carves its storage from
// (see large_blocks.h); the blocks themselves come from the platform half.
#include "foundation/large_blocks.h"

#include <new>

namespace krCore::detail {

large_pool::~large_pool() {
  for (const block& b : _blocks) large_block_free(b.base, b.size);
}

void* large_pool::take(std::size_t size) {
  constexpr std::size_t kAlign = 64;
  size = (size + kAlign - 1) / kAlign * kAlign;
  if (size == 0 || static_cast<std::size_t>(_end - _next) < size) {
    // The rest of the current block is left unused: the pieces a table
    // asks for are few and large, so little is lost.
    if (_blocks.size() == _blocks.capacity()) _blocks.reserve(2 * _blocks.size() + 1);
    const std::size_t bytes = large_block_size(size == 0 ? 1 : size);
    void* base = large_block_alloc(bytes);
    if (!base) throw std::bad_alloc();
    _blocks.push_back({base, bytes});
    _next = static_cast<char*>(base);
    _end = _next + bytes;
  }
  void* piece = _next;
  _next += size;
  return piece;
}

}  // namespace krCore::detail
