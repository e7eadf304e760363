// The file-system redirection scope on Windows. A 32-bit process on a
// 64-bit system sees the 32-bit system folder under the 64-bit one's name;
// the scope switches that redirection off for the creating thread and puts
// it back when it ends. The two system calls are looked up at run time,
// since systems without WOW64 do not have them; where one is missing,
// redirection stays as it is.
#include <krcore/files.h>
#include <krcore/security.h>

#include <windows.h>

namespace krCore {
namespace {

using disable_call = BOOL(WINAPI*)(PVOID*);
using revert_call = BOOL(WINAPI*)(PVOID);

bool process_is_wow64() {
  try {
    std::wstring value;
    return globals::instance()->getproperty(L"ISWOW64", value) && value == L"true";
  } catch (...) {
    // Without the process facts the process is taken as not redirected.
    return false;
  }
}

template <typename Call>
Call system_call(HMODULE module, const char* name) {
  // GetProcAddress answers with a generic function pointer; the cast to the
  // documented signature is the only way to call it.
  return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

auto_wow64filesystemredirect::auto_wow64filesystemredirect() : _isWow64(process_is_wow64()) {
  if (!_isWow64) return;
  _kernel32 = LoadLibraryW(L"kernel32.dll");
  if (!_kernel32) return;
  _disableFunc = reinterpret_cast<void*>(
      system_call<disable_call>(_kernel32, "Wow64DisableWow64FsRedirection"));
  _revertFunc = reinterpret_cast<void*>(
      system_call<revert_call>(_kernel32, "Wow64RevertWow64FsRedirection"));
  enable();
}

void auto_wow64filesystemredirect::enable() {
  if (!_isWow64 || !_disableFunc) return;
  _disabled = reinterpret_cast<disable_call>(_disableFunc)(&_oldValue) != FALSE;
}

void auto_wow64filesystemredirect::disable() {
  if (!_isWow64) return;
  if (_disabled && _revertFunc) {
    reinterpret_cast<revert_call>(_revertFunc)(_oldValue);
    _disabled = false;
  }
  if (_kernel32) {
    FreeLibrary(_kernel32);
    _kernel32 = nullptr;
  }
}

}  // namespace krCore
