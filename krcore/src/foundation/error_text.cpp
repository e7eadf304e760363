// The system's text for an error code: the platform's own message tables
// (platform_message, one half per platform), then what the library derives
// where the platform has no text of its own.
#include "foundation/errors.h"

namespace krCore::detail {

std::wstring system_message(unsigned long code) {
  code &= 0xFFFFFFFFul;
  std::wstring text = platform_message(code);
  if (!text.empty()) return text;
  // An HRESULT of the Win32 facility carries its Win32 code in the low word;
  // not every system's tables list those HRESULTs themselves.
  if ((code & 0xFFFF0000ul) == 0x80070000ul) {
    text = platform_message(code & 0xFFFFul);
    if (!text.empty()) return text;
  }
  // Applications put codes of their own under the customer bit too: only
  // those the error-number mapping makes read as error numbers.
  const int err = static_cast<int>(code & 0xFFFF);
  if ((code & 0xFFFF0000ul) == kErrnoCodeBase && win32_from_errno(err) == code) {
    const std::wstring description = errno_description(err);  // empty when undefined
    if (!description.empty()) return description + L".\r\n";
  }
  return {};
}

}  // namespace krCore::detail
