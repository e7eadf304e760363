// The internal log route: library code outside the logger writes through
// the process-wide logger here.
#include <krcore/logging.h>

#include "logging/logsink.h"

namespace krCore::detail {

bool log_enabled(unsigned level) {
  return singleton<logger>::instance()->is_enabled(static_cast<logger::log_levels>(level));
}

void log_entry(unsigned level, const std::wstring& text) {
  singleton<logger>::instance()->log(static_cast<logger::log_levels>(level), text.c_str(), false);
}

}  // namespace krCore::detail
