// Internal: the system's "local memory", the heap blocks that protection
// and certificate calls hand to their callers, who free them with LocalFree.
#pragma once

#include <cstddef>

#include "foundation/internal.h"

namespace krCore::detail {

// A zero-filled block of `size` bytes, whatever `flags` ask; null when
// `size` is 0 or the memory cannot be had (the last error is then 8).
KRCORE_INTERNAL void* LocalAlloc(unsigned int flags, std::size_t size);
// Frees a LocalAlloc block; accepts null; returns null.
KRCORE_INTERNAL void* LocalFree(void* memory);

}  // namespace krCore::detail
