// Internal: the few process-level calls that portable code makes, answered
// by the platform half.
#pragma once

#include "foundation/internal.h"

namespace krCore::detail {

// The C runtime's error number of the calling thread's last failed call, as
// the texts that quote it print it (the library's own codes are Win32 codes;
// see errors.h).
KRCORE_INTERNAL int runtime_error_number();

// Unloads a module that the platform's loader gave out; null does nothing.
KRCORE_INTERNAL void unload_module(void* module);

// Ends the process at once with `code`: no destructors, no exit handlers,
// no flushing of the C runtime's streams.
[[noreturn]] KRCORE_INTERNAL void exit_process_now(int code);

}  // namespace krCore::detail
