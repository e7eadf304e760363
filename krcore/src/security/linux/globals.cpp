// Machine facts on Linux: the host name from uname(2) and the word size of
// the running kernel from its machine name.
#include <sys/utsname.h>

#include <string>

#include "foundation/errors.h"
#include "security/machine.h"
#include "foundation/utf.h"

namespace krCore::detail {

bool os_host_name(std::wstring& name, unsigned long& error) {
  struct utsname u;
  if (::uname(&u) != 0) {
    error = last_errno_as_win32();
    return false;
  }
  name = wide_from_utf8(u.nodename);
  return true;
}

bool os_is_64bit() {
  struct utsname u;
  if (::uname(&u) != 0) return sizeof(void*) == 8;
  // The 64-bit Linux machine names contain "64" (x86_64, aarch64, ppc64le,
  // riscv64) or are s390x.
  const std::string machine = u.machine;
  return machine.find("64") != std::string::npos || machine == "s390x";
}

}  // namespace krCore::detail

#include <netdb.h>
#include <unistd.h>

#include <cstring>

namespace krCore::detail {

std::wstring os_canonical_name(const std::wstring& host) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(utf8_from_wide(host).c_str(), nullptr, &hints, &result) != 0) return L"";
  std::wstring name;
  if (result && result->ai_canonname) name = wide_from_utf8(result->ai_canonname);
  ::freeaddrinfo(result);
  return name;
}

unsigned long os_processor_count() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned long>(n) : 1ul;
}

std::string os_machine() {
  struct utsname u;
  if (::uname(&u) != 0) return std::string();
  return u.machine;
}

}  // namespace krCore::detail
