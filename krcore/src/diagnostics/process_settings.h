// Internal: the process-wide state that krProcessSettings applies.
//
// Linux has neither an error mode nor a runtime-library hook for invalid
// arguments, so both are plain process-wide values kept here: the error mode
// records what the process asked for, and the handler is the one the
// library's own argument checks report to.
#pragma once

#include <krcore/diagnostics.h>

#include "foundation/internal.h"

namespace krCore::detail {

// The error mode last set (0 until krProcessSettings first applies 0x8007).
KRCORE_INTERNAL unsigned int process_error_mode();

// The invalid-parameter handler in force (null when none is installed).
KRCORE_INTERNAL krProcessSettings::invalid_parameter_handler invalid_parameter_handler();

}  // namespace krCore::detail
