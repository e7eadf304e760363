// The logger's start from a command line: the exported entry point over the
// command-line family's type; the start itself lives in logger_config.h.
#include <krcore/cmdline.h>

#include "logging/logger_config.h"

namespace krCore {

void LogInitialize(const CommandLineArgs& args) {
  // A copy, so that lookups work whether or not they are const members.
  CommandLineArgs copy(args);
  detail::log_initialize_from(copy);
}

}  // namespace krCore
