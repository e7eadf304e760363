// Test support on Linux: whether this process may get transparent huge
// pages, and what /proc/self/smaps says of its mappings, for the tests of
// the large blocks that big tables grow into.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

// The bracketed word of a kernel setting such as "always [madvise] never".
inline std::string bracketed_setting(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  const auto open = line.find('['), close = line.find(']');
  return open == std::string::npos || close == std::string::npos
             ? std::string()
             : line.substr(open + 1, close - open - 1);
}

// Empty when memory this process advises for huge pages may get them;
// otherwise why not: the kernel's policy, the setting for 2 MiB pages, or
// huge pages switched off for this process (as some containers do).
inline std::string huge_pages_refused() {
  const std::string policy = bracketed_setting("/sys/kernel/mm/transparent_hugepage/enabled");
  if (policy != "always" && policy != "madvise")
    return "transparent huge pages are \"" + policy + "\" here";
  const std::string size_policy =
      bracketed_setting("/sys/kernel/mm/transparent_hugepage/hugepages-2048kB/enabled");
  if (size_policy == "never") return "2 MiB huge pages are \"never\" here";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("THP_enabled:", 0) == 0 && std::stoi(line.substr(12)) == 0)
      return "huge pages are switched off for this process";
  return {};
}

// Calls `field(name, value, from, to)` for every field line of
// /proc/self/smaps, with the address range of the mapping it belongs to.
template <class Field>
void for_each_smaps_field(Field field) {
  std::ifstream in("/proc/self/smaps");
  std::uintptr_t from = 0, to = 0;
  for (std::string line; std::getline(in, line);) {
    std::uintptr_t a = 0, b = 0;
    char dash = 0;
    std::istringstream head(line);
    const auto colon = line.find(':');
    if (head >> std::hex >> a >> dash >> b && dash == '-' && colon > line.find(' ')) {
      from = a;
      to = b;
      continue;
    }
    if (colon != std::string::npos) field(line.substr(0, colon), line.substr(colon + 1), from, to);
  }
}

// The "THPeligible" value of the mapping that holds `address`: 1 when the
// kernel may back it with huge pages; -1 when the kernel does not say.
inline int huge_page_eligible(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  int eligible = -1;
  for_each_smaps_field([&](const std::string& name, const std::string& value, std::uintptr_t from,
                           std::uintptr_t to) {
    if (name == "THPeligible" && from <= at && at < to) eligible = std::stoi(value);
  });
  return eligible;
}

// The bytes of this process's mappings advised for huge pages ("hg" among
// their VmFlags).
inline std::uintptr_t huge_page_advised_bytes() {
  std::uintptr_t total = 0;
  for_each_smaps_field([&](const std::string& name, const std::string& value, std::uintptr_t from,
                           std::uintptr_t to) {
    if (name == "VmFlags" && (" " + value + " ").find(" hg ") != std::string::npos)
      total += to - from;
  });
  return total;
}
