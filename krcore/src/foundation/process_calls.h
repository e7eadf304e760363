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

// The value of the environment variable `name` that steers the library (a
// folder, a file, a socket, a timeout); null when it is not set. A process
// the kernel started with raised rights (setuid or setgid, file
// capabilities: AT_SECURE) reads none, since whoever started it chose its
// environment. Every variable the library reads for itself goes through
// here; what a caller asks for by name does not. Thread-safe as long as
// nothing changes the environment meanwhile.
KRCORE_INTERNAL const char* library_setting(const char* name);

// Ends the process at once with `code`: no destructors, no exit handlers,
// no flushing of the C runtime's streams.
[[noreturn]] KRCORE_INTERNAL void exit_process_now(int code);

}  // namespace krCore::detail
