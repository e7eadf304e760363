// The system's memory blocks on Linux: the stand-ins that hand out blocks
// (local memory, COM task memory, RPC strings) take them from the C heap,
// so each is freed there.
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

void co_task_mem_free(void* memory) { std::free(memory); }

void rpc_string_free(wchar_t* text) { std::free(text); }

}  // namespace krCore::detail
