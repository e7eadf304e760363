// Internal: the platform facts about the machine that the machine-facts
// collection and the logger's settings report read.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The machine's host name as the system reports it (may contain dots). On
// failure returns false and sets `error` to a Win32 code.
bool os_host_name(std::wstring& name, unsigned long& error);

// True when the operating system is a 64-bit system.
KRCORE_INTERNAL bool os_is_64bit();

// The NetBIOS form of a host name: up to the first dot, upper case, at most
// 15 characters.
KRCORE_INTERNAL std::wstring netbios_name(const std::wstring& host);

}  // namespace krCore::detail
