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
