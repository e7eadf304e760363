// Internal: the blocks of memory the system hands to its callers, who give
// each back to the allocator it came from: "local memory" (protection and
// certificate calls, CommandLineToArgvW) with LocalFree, COM task memory
// with CoTaskMemFree, RPC strings with RpcStringFreeW. One half per platform:
// on Windows the system's own allocators, on Linux the C heap that the
// stand-ins allocate from. Safe from any thread; null is accepted and
// ignored by every free.
#pragma once

#include <cstddef>

#include "foundation/internal.h"

namespace krCore::detail {

// A zero-filled block of `size` bytes, whatever `flags` ask; null when
// `size` is 0 or the memory cannot be had (the last error is then 8).
KRCORE_INTERNAL void* LocalAlloc(unsigned int flags, std::size_t size);
// Frees a LocalAlloc block; accepts null; returns null.
KRCORE_INTERNAL void* LocalFree(void* memory);
// Frees COM task memory and RPC strings.
KRCORE_INTERNAL void co_task_mem_free(void* memory);
KRCORE_INTERNAL void rpc_string_free(wchar_t* text);

}  // namespace krCore::detail
