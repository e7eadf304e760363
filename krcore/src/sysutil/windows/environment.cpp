// The Windows half of the process environment helpers: the executable's
// path, the Windows directory, message boxes, the debugger and the
// component runtime all come from the system.
#include <objbase.h>
#include <windows.h>

#include <algorithm>

#include "sysutil/environment.h"
#include "versions/module_file.h"

namespace krCore::detail {

// The system's paths use the backslash; a forward slash separates too.
const wchar_t* const kPathSeparators = L"\\/";

std::wstring executable_path(unsigned long& error) {
  return module_file_name(GetModuleHandleW(nullptr), error);
}

std::wstring system_directory(unsigned long& error) {
  wchar_t buf[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    error = n == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    return {};
  }
  error = 0;
  return std::wstring(buf, n);
}

unsigned long current_process_id() { return GetCurrentProcessId(); }

int present_message(const std::wstring& text, const std::wstring& title, unsigned long flags) {
  return MessageBoxW(GetActiveWindow(), text.c_str(), title.c_str(), static_cast<UINT>(flags));
}

bool wait_for_debugger(unsigned long timeout_ms) {
  // The system signals nothing when a debugger attaches, so poll.
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (IsDebuggerPresent()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(50, deadline - now)));
  }
}

long com_initialize_thread(unsigned long coinit) {
  return CoInitializeEx(nullptr, static_cast<DWORD>(coinit));
}

void com_uninitialize_thread() { CoUninitialize(); }

long com_initialize_security(unsigned long authLevel, unsigned long impLevel) {
  return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, static_cast<DWORD>(authLevel),
                              static_cast<DWORD>(impLevel), nullptr, EOAC_NONE, nullptr);
}

}  // namespace krCore::detail
