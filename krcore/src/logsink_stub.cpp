// The log route before the logger exists: every level is disabled.
#include "logsink.h"

namespace krCore::detail {
bool log_enabled(unsigned) { return false; }
void log_entry(unsigned, const std::wstring&) {}
}  // namespace krCore::detail
