// The journal copy on Windows: there is no journal; the event log is the
// event logger's, so option 0x40 sends nothing and drops nothing.
#include "logging/journal_sink.h"

namespace krCore::detail {

unsigned long journal_copy(std::wstring_view, unsigned, const log_source*) noexcept { return 0; }

std::uint64_t journal_dropped() noexcept { return 0; }

}  // namespace krCore::detail
