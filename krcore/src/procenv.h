// Internal: facts about the running process's own image.
#pragma once

#include <string>

#include "internal.h"

namespace krCore::detail {

// The full path of the running executable file; empty when the system does
// not tell. Thread-safe.
KRCORE_INTERNAL std::wstring executable_path();

}  // namespace krCore::detail
