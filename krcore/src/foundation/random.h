// Internal: the platform's source of cryptographically strong random bytes,
// behind one small interface so that a Windows backend could sit beside the
// Linux one.
#pragma once

#include <cstddef>

#include "foundation/internal.h"

namespace krCore::detail {

// Fills `size` bytes at `out` with random bytes from the kernel. Returns 0 or
// the Win32 code of the failure (the bytes are then unspecified). Each
// thread is served from a batch of its own read ahead, so most calls make
// no system call and take no lock; no two threads, and no forked child and
// its parent, are handed the same bytes. Thread-safe.
KRCORE_INTERNAL unsigned long random_bytes(void* out, std::size_t size);

}  // namespace krCore::detail
