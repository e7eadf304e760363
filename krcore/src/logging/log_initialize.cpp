// The logger's start from a command line, for the command-line type of the
// system-utilities family. Built only where that type is available; the
// start itself lives in logger_config.h.
#if __has_include(<krcore/cmdline.h>)
#include <krcore/cmdline.h>

#include "logging/logger_config.h"

namespace krCore {

void LogInitialize(const CommandLineArgs& args) {
  // A copy, so that lookups work whether or not they are const members.
  CommandLineArgs copy(args);
  detail::log_initialize_from(copy);
}

}  // namespace krCore
#endif
