// Internal: the platform half of the command-line family, which reads the
// process's own arguments.
#pragma once

#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// The process's arguments as the kernel holds them (empty ones kept, UTF-8
// decoded). False, with `args` empty, when they cannot be read.
KRCORE_INTERNAL bool process_arguments(std::vector<std::wstring>& args);

}  // namespace krCore::detail
