// The running process's image on Linux: /proc/self/exe names the executable.
#include <unistd.h>

#include <string>

#include "../procenv.h"
#include "../utf.h"

namespace krCore::detail {

std::wstring executable_path() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::wstring();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return wide_from_utf8(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace krCore::detail
