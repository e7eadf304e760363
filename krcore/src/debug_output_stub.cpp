// The debugger-output sink before a real one exists: lines are dropped.
#include "debug_output.h"

namespace krCore::detail {
void debug_output(const std::wstring&) {}
}  // namespace krCore::detail
