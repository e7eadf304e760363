// Internal: the process-wide state that krProcessSettings applies.
//
// Both are process-wide values kept here: the error mode records what the
// process asked for, and the handler is the one the library's own argument
// checks report to. Where the platform has an error mode and a C runtime
// hook for invalid arguments (Windows), they are applied there as well.
#pragma once

#include <krcore/diagnostics.h>

#include "foundation/internal.h"

namespace krCore::detail {

// The error mode last set (0 until krProcessSettings first applies 0x8007).
KRCORE_INTERNAL unsigned int process_error_mode();

// The invalid-parameter handler in force (null when none is installed).
KRCORE_INTERNAL krProcessSettings::invalid_parameter_handler invalid_parameter_handler();

// The platform's part of the settings: makes `mode` the process's error mode,
// and hands `handler` (null: none) to the C runtime as its hook for invalid
// arguments. Nothing to do where the platform has neither (Linux).
void apply_error_mode(unsigned int mode);
void apply_invalid_parameter_handler(krProcessSettings::invalid_parameter_handler handler);

}  // namespace krCore::detail
