// The facts of the system-information block, read from the system: the
// local clock, the executable's path, the user, the version the system
// reports of itself (ntdll's, which unlike GetVersionEx does not depend on
// the program's manifest), the processors and the memory status.
#include <windows.h>

#include "diagnostics/system_facts.h"

namespace krCore::detail {
namespace {

// RtlGetVersion: always the system's true version.
typedef LONG(WINAPI* get_version_call)(OSVERSIONINFOW*);

void read_version(system_facts& f) {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get_version = ntdll ? reinterpret_cast<get_version_call>(reinterpret_cast<void (*)()>(
                                       ::GetProcAddress(ntdll, "RtlGetVersion")))
                                 : nullptr;
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!get_version || get_version(&version) != 0) return;
  f.os_known = true;
  f.os_major = version.dwMajorVersion;
  f.os_minor = version.dwMinorVersion;
  f.os_build = version.dwBuildNumber;
}

}  // namespace

system_facts read_system_facts() noexcept {
  system_facts f;
  ::GetLocalTime(&f.local_time);
  try {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
    if (n > 0 && n < sizeof path / sizeof path[0]) f.executable.assign(path, n);
    wchar_t user[257];
    DWORD size = sizeof user / sizeof user[0];
    if (::GetUserNameW(user, &size) && size > 0) f.user.assign(user, size - 1);
  } catch (...) {
    // Out of memory while building texts: report what was read.
  }
  read_version(f);
  SYSTEM_INFO system{};
  ::GetNativeSystemInfo(&system);
  f.processors = system.dwNumberOfProcessors;
  f.processor_type = system.dwProcessorType;
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (::GlobalMemoryStatusEx(&memory)) {
    f.memory_load = memory.dwMemoryLoad;
    f.total_physical = memory.ullTotalPhys;
    f.free_physical = memory.ullAvailPhys;
    f.total_paging = memory.ullTotalPageFile;
    f.free_paging = memory.ullAvailPageFile;
    f.total_virtual = memory.ullTotalVirtual;
    f.free_virtual = memory.ullAvailVirtual;
  }
  return f;
}

}  // namespace krCore::detail
