// Internal: the one route by which library code outside the logger writes a
// line through the process-wide logger.
//
// It exists so that early parts of the library can log before depending on
// the logger's full interface; it tests the level first, like every caller of
// the logger must.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// Levels, as the logger's log_levels.
enum : unsigned { kLogVerbose = 1, kLogNormal = 2, kLogWarning = 4, kLogError = 8 };

// True when the logger is enabled and admits `level`.
KRCORE_INTERNAL bool log_enabled(unsigned level);
// Writes `text` as one entry of `level` when the logger admits it.
KRCORE_INTERNAL void log_entry(unsigned level, const std::wstring& text);

}  // namespace krCore::detail
