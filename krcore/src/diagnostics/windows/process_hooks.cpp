// The process fault settings on Windows: the system's error mode, and the C
// runtime's hook for invalid arguments (the C runtime MinGW builds against,
// msvcrt, exports _set_invalid_parameter_handler on every supported
// Windows), whose callback has the handler's own signature.
#include <windows.h>
#include <stdlib.h>

#include "diagnostics/process_settings.h"

namespace krCore::detail {

void apply_error_mode(unsigned int mode) { ::SetErrorMode(mode); }

void apply_invalid_parameter_handler(krProcessSettings::invalid_parameter_handler handler) {
  ::_set_invalid_parameter_handler(handler);
}

}  // namespace krCore::detail
