// The MinGW runtime's description of an error number (the mapping of error
// numbers to Win32 codes is portable: errno_map.cpp).
#include <cstring>

#include "foundation/errors.h"

namespace krCore::detail {

// Empty for a number the runtime does not define (it would answer
// "Unknown error").
std::wstring errno_description(int err) {
  if (err <= 0) return {};
  wchar_t text[256];
  if (_wcserror_s(text, 256, err) != 0) return {};
  std::wstring description(text);
  if (description.rfind(L"Unknown error", 0) == 0) return {};
  return description;
}

}  // namespace krCore::detail
