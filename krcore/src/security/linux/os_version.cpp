// The operating system's version on Linux: major, minor and build come from
// the kernel release (uname(2)); the release text is the PRETTY_NAME of
// os-release(5), the distribution's own name for what is installed.
#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "security/osversion.h"
#include "security/system_files.h"
#include "foundation/utf.h"

namespace krCore::detail {

bool parse_kernel_release(const std::string& release, os_version_info& info) {
  unsigned long* const fields[] = {&info.major, &info.minor, &info.build};
  info.major = info.minor = info.build = 0;
  const char* p = release.c_str();
  for (size_t i = 0; i < 3; ++i) {
    if (*p < '0' || *p > '9') return i > 0;
    char* end = nullptr;
    *fields[i] = std::strtoul(p, &end, 10);
    p = end;
    if (*p != '.') return true;
    ++p;
  }
  return true;
}

std::string os_release_pretty_name(const std::string& content) {
  std::istringstream lines(content);
  std::string line;
  const std::string key = "PRETTY_NAME=";
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::string();
}

bool query_os_version(os_version_info& info) {
  struct utsname u;
  if (::uname(&u) != 0 || !parse_kernel_release(u.release, info)) return false;
  // /etc/os-release is the file; /usr/lib/os-release the vendor fallback.
  for (const char* relative : {"etc/os-release", "usr/lib/os-release"}) {
    std::ifstream file(system_path(relative));
    if (!file) continue;
    std::ostringstream content;
    content << file.rdbuf();
    info.service_pack = wide_from_utf8(os_release_pretty_name(content.str()));
    break;
  }
  return true;
}

}  // namespace krCore::detail
