// Why a log file cannot be made (Windows): the system's own error text says
// which part of the path failed, so no folder is judged here.
#include "logging/loud_failure.h"

namespace krCore::detail {

std::string folder_fault(const std::wstring&) { return {}; }

}  // namespace krCore::detail
