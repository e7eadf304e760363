// Internal: the sink for lines meant for a developer's debugger rather than
// a log file (the logger's own diagnostics, start-up notes of the clocks).
#pragma once

#include <string>

#include "internal.h"

namespace krCore::detail {

// Writes one line to the debugger output. Never throws.
KRCORE_INTERNAL void debug_output(const std::wstring& text);

}  // namespace krCore::detail
