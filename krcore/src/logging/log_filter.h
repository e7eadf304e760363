// Internal: the logger's include and exclude filters applied to one line.
// Kept apart from the logger so the matching can be exercised on its own,
// without a logger instance, a file or a clock in the line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// True when `line` is to be written: it contains one of `include` (when
// that list is not empty) and none of `exclude`, each compared ignoring
// case with the global locale's folding. Both lists empty admit every
// line. Pure; safe from any thread while the lists do not change.
KRCORE_INTERNAL bool filters_admit(std::wstring_view line, const std::vector<std::wstring>& include,
                                   const std::vector<std::wstring>& exclude);

}  // namespace krCore::detail
