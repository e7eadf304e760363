// The process-level calls of portable code on Linux.
#include "foundation/process_calls.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

namespace krCore::detail {

int runtime_error_number() { return errno; }

void unload_module(void* module) {
  if (module) ::dlclose(module);
}

const char* library_setting(const char* name) { return ::secure_getenv(name); }

void exit_process_now(int code) { ::_exit(code); }

}  // namespace krCore::detail
