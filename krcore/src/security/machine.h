// Internal: the platform facts about the machine that the machine-facts
// collection and the logger's settings report read.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The machine's host name as the system reports it (may contain dots). On
// failure returns false and sets `error` to a Win32 code.
bool os_host_name(std::wstring& name, unsigned long& error);

// The canonical (fully qualified) name the resolver gives for `host`; empty
// when it gives none.
std::wstring os_canonical_name(const std::wstring& host);

// True when the operating system is a 64-bit system.
KRCORE_INTERNAL bool os_is_64bit();

// The number of processors online.
unsigned long os_processor_count();

// The machine's architecture as uname(2) names it ("x86_64", "i686", ...).
std::string os_machine();

// The NetBIOS form of a host name: up to the first dot, upper case, at most
// 15 characters.
KRCORE_INTERNAL std::wstring netbios_name(const std::wstring& host);

// The architecture's name in the machine facts: "PROCESSOR_ARCHITECTURE_AMD64",
// "PROCESSOR_ARCHITECTURE_IA64", "PROCESSOR_ARCHITECTURE_INTEL" or "UNKNOWN".
KRCORE_INTERNAL std::wstring processor_architecture_name(const std::string& machine);

// 1 workstation, 2 domain controller, 3 server, from the domain facts and the
// machine's chassis.
KRCORE_INTERNAL unsigned char os_product_type();

}  // namespace krCore::detail
