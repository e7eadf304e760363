// Internal: the facts of the system-information block that the exception
// analysis writes when a fault is reported, read from the platform
// (linux/system_facts.cpp) and turned into text here (system_information.cpp).
#pragma once

#include <krcore/wintypes.h>

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

struct system_facts {
  SYSTEMTIME local_time{};
  std::wstring executable;  // empty when unknown
  std::wstring user;        // empty when unknown
  bool os_known = false;
  unsigned os_major = 0, os_minor = 0, os_build = 0;
  unsigned processors = 0;
  unsigned processor_type = 0;  // 8664 for x86-64
  unsigned memory_load = 0;     // percent of physical memory in use
  // Bytes.
  unsigned long long total_physical = 0, free_physical = 0;
  unsigned long long total_paging = 0, free_paging = 0;
  unsigned long long total_virtual = 0, free_virtual = 0;
};

// Reads the facts now. Never throws; what cannot be read stays zero/empty.
KRCORE_INTERNAL system_facts read_system_facts() noexcept;

// The block, each line ended by "\r\n": the time of the fault (seconds
// rounded down to even), executable and user, operating-system version,
// processors, and memory in mebibytes rounded up.
KRCORE_INTERNAL std::wstring format_system_information(const system_facts& facts);

}  // namespace krCore::detail
