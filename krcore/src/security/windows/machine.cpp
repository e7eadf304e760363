// Machine facts on Windows: the names the system gives the machine, the
// version of the running system as its kernel reports it (not the version
// the program's manifest would have it see), the product type and the
// processors.
#include <windows.h>

#include <string>

#include "security/machine.h"
#include "security/osversion.h"
#include "security/system_files.h"

namespace krCore::detail {

namespace {

// One of the system's names of the machine; false with `error` set.
bool computer_name(COMPUTER_NAME_FORMAT format, std::wstring& name, unsigned long& error) {
  DWORD size = 0;
  ::GetComputerNameExW(format, nullptr, &size);
  if (size == 0) {
    error = ::GetLastError();
    return false;
  }
  std::wstring buffer(size, L'\0');
  if (!::GetComputerNameExW(format, buffer.data(), &size)) {
    error = ::GetLastError();
    return false;
  }
  buffer.resize(size);
  name = std::move(buffer);
  error = 0;
  return true;
}

// The kernel's own version record; false when ntdll does not answer.
bool kernel_version(RTL_OSVERSIONINFOEXW& info) {
  using rtl_get_version = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get = ntdll ? reinterpret_cast<rtl_get_version>(
                               reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                         : nullptr;
  info = RTL_OSVERSIONINFOEXW{};
  info.dwOSVersionInfoSize = sizeof info;
  return get && get(&info) == 0;
}

}  // namespace

bool os_host_name(std::wstring& name, unsigned long& error) {
  return computer_name(ComputerNameDnsHostname, name, error);
}

// The machine's DNS name with its primary domain, when it has one.
std::wstring os_canonical_name(const std::wstring& host) {
  std::wstring full;
  unsigned long error = 0;
  if (!computer_name(ComputerNameDnsFullyQualified, full, error)) return std::wstring();
  const std::wstring label = full.substr(0, full.find(L'.'));
  return ::CompareStringOrdinal(label.c_str(), -1, host.c_str(), -1, TRUE) == CSTR_EQUAL
             ? full
             : std::wstring();
}

// A 32-bit process asks the system: on a 64-bit system it runs under WOW64,
// and the file-system redirection scope depends on knowing that.
bool os_is_64bit() {
  if (sizeof(void*) == 8) return true;
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) != FALSE && wow64 != FALSE;
}

unsigned long os_processor_count() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

std::string os_machine() { return os_is_64bit() ? "x86_64" : "i686"; }

// The system says itself whether it is a workstation edition.
bool machine_is_workstation() {
  RTL_OSVERSIONINFOEXW info;
  return kernel_version(info) && info.wProductType == VER_NT_WORKSTATION;
}

bool query_os_version(os_version_info& info) {
  RTL_OSVERSIONINFOEXW kernel;
  if (!kernel_version(kernel)) return false;
  info.major = kernel.dwMajorVersion;
  info.minor = kernel.dwMinorVersion;
  info.build = kernel.dwBuildNumber;
  info.service_pack = kernel.szCSDVersion;
  return true;
}

}  // namespace krCore::detail
