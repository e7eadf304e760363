// Internal, Linux only: the path of a running executable from its link in
// /proc (`/proc/<pid>/exe`).
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The path that the link text `text`, read from the link `link`, names. The
// kernel appends " (deleted)" to the name of a file that was removed or
// replaced while it ran, but a file may also really be named that way: the
// mark is taken off only when the name as read does not lead to the very
// file the link stands for. Thread-safe.
KRCORE_INTERNAL std::string executable_from_link(std::string text, const std::string& link);

}  // namespace krCore::detail
