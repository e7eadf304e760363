// Local memory: zero-filled heap blocks.
#include "foundation/local_memory.h"

#include <krcore/foundation.h>

#include <cstdlib>

namespace krCore::detail {

void* LocalAlloc(unsigned int, std::size_t size) {
  if (size == 0) return nullptr;
  void* block = std::calloc(1, size);
  if (!block) ::SetLastError(8);
  return block;
}

void* LocalFree(void* memory) {
  std::free(memory);
  return nullptr;
}

}  // namespace krCore::detail
