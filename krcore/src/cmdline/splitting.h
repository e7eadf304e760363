// Internal: the two directions of the Windows command-line convention, the
// splitting of one text into arguments and the quoting that joins arguments
// into a text that splits back into them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// The arguments of a command-line text by the rules CommandLineToArgvW
// documents (see cmdline.h). An empty text gives no arguments at all; the
// caller decides what stands in for the program then.
KRCORE_INTERNAL std::vector<std::wstring> split_command_line(std::wstring_view text);

// Joins `args` into one text that split_command_line turns back into
// exactly `args`. The program name (args[0]) is quoted when it is empty or
// holds white space; a '"' in it cannot be represented and is dropped.
KRCORE_INTERNAL std::wstring quote_command_line(const std::vector<std::wstring>& args);

}  // namespace krCore::detail
