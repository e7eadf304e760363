// The system's error texts on Windows: FormatMessageW over the system's
// message tables, then over ntdll's, which hold the texts of NTSTATUS values
// (the codes of hardware faults among them).
//
// ntdll is mapped into every process, so its handle is taken without
// loading it. The texts are the system's, in the system's language, with the
// line end the system gives them; callers trim.
#include <windows.h>

#include <krcore/holders.h>

#include "foundation/errors.h"

namespace krCore::detail {

namespace {

// One FormatMessageW look-up; empty when the source has no text for `code`.
std::wstring format_message(DWORD source_flag, HMODULE module, unsigned long code) {
  wchar_t* raw = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source_flag,
                       module, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  const auto_localfree owner(raw);
  if (length == 0 || !raw) return {};
  return std::wstring(raw, length);
}

}  // namespace

std::wstring platform_message(unsigned long code) {
  // A caller may ask for the text of GetLastError() and then read the last
  // error again: the look-up leaves it as it found it.
  const DWORD last_error = ::GetLastError();
  std::wstring text = format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
  if (text.empty()) {
    if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll"))
      text = format_message(FORMAT_MESSAGE_FROM_HMODULE, ntdll, code);
  }
  ::SetLastError(last_error);
  return text;
}

}  // namespace krCore::detail
