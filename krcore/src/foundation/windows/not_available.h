// Internal (Windows): how a family that is not yet available on Windows
// answers.
//
// Its calls fail with ERROR_CALL_NOT_IMPLEMENTED (E_NOTIMPL where the call
// answers an HRESULT), and the first call of each kind writes one line to
// the debugger output naming what is missing, so that a developer sees why
// the call failed without a log being configured.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace krCore::detail {

// Sets the last error to ERROR_CALL_NOT_IMPLEMENTED and says once, per
// `reported` flag, that `what` is not available on Windows yet. Returns the
// code. Thread-safe.
inline unsigned long not_available(std::atomic<bool>& reported, const wchar_t* what) {
  if (!reported.exchange(true, std::memory_order_relaxed))
    ::OutputDebugStringW((std::wstring(L"qmcore: ") + what + L" is not available on Windows yet\n").c_str());
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace krCore::detail
