// The process fault settings on Linux: there is neither an error mode nor a
// C runtime hook for invalid arguments, so the settings stay the plain
// process-wide values that process_settings.cpp keeps.
#include "diagnostics/process_settings.h"

namespace krCore::detail {

void apply_error_mode(unsigned int) {}
void apply_invalid_parameter_handler(krProcessSettings::invalid_parameter_handler) {}

}  // namespace krCore::detail
