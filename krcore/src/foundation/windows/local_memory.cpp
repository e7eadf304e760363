// The system's memory blocks on Windows: each goes back to the system
// allocator it came from (a block of one given to another corrupts both).
#include <windows.h>

#include <objbase.h>
#include <rpc.h>

#include "foundation/local_memory.h"

namespace krCore::detail {

// Fixed and zero-filled whatever `flags` ask, as the contract says.
void* LocalAlloc(unsigned int, std::size_t size) {
  if (size == 0) return nullptr;
  return ::LocalAlloc(LPTR, size);
}

void* LocalFree(void* memory) {
  if (memory) ::LocalFree(memory);
  return nullptr;
}

void co_task_mem_free(void* memory) { ::CoTaskMemFree(memory); }

void rpc_string_free(wchar_t* text) {
  if (!text) return;
  RPC_WSTR string = reinterpret_cast<RPC_WSTR>(text);
  ::RpcStringFreeW(&string);
}

}  // namespace krCore::detail
