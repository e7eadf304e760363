// The Linux C library's description of an error number (the mapping of
// error numbers to Win32 codes is portable: errno_map.cpp).
#include <cerrno>
#include <cstring>

#include "foundation/errors.h"

namespace krCore::detail {

// Empty for a number the platform does not define (strerror_r would make
// up "Unknown error N").
std::wstring errno_description(int err) {
  if (err <= 0 || !strerrorname_np(err)) return {};
  char buf[256];
  // The GNU strerror_r returns the text, which need not be in `buf`.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::wstring(text, text + std::strlen(text));  // the texts are ASCII
}

}  // namespace krCore::detail
