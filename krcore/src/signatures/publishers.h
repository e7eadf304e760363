// Internal: the trusted-publisher pattern test.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// True when the whole of `publisher` matches `pattern`, an ECMAScript
// regular expression with case ignored; logs the test at verbose level.
// Throws std::regex_error for a pattern that does not compile.
KRCORE_INTERNAL bool publisher_matches(const std::wstring& pattern, const std::wstring& publisher);

}  // namespace krCore::detail
