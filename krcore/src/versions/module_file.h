// Internal: the platform half of the versions family, the file of a
// loaded module.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The path of the file a module was loaded from: `module` is a dlopen
// handle (the main program's handle gives the executable) or an address
// inside the module. Empty with the Win32 code in `error` when it names no
// module.
KRCORE_INTERNAL std::wstring module_file_name(void* module, unsigned long& error);

}  // namespace krCore::detail
