// The machine's facts on Windows come from the system: the computer's names,
// the version its kernel reports and the product type, and the process-wide
// facts collection built on them.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/security.h>

#include <string>

namespace {

RTL_OSVERSIONINFOEXW kernel_version() {
  using get_version = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
  const auto get = reinterpret_cast<get_version>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  RTL_OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (get) get(&info);
  return info;
}

TEST(MachineFacts, NamesAndVersionAreTheSystems) {
  wchar_t netbios[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameExW(ComputerNameNetBIOS, netbios, &size));
  EXPECT_EQ(krCore::GetComputerNameW(true), std::wstring(netbios, size));

  const RTL_OSVERSIONINFOEXW kernel = kernel_version();
  ASSERT_GT(kernel.dwMajorVersion, 0u);
  const OSVERSIONINFOEXW version = krCore::GetOSVersion();
  EXPECT_EQ(version.dwMajorVersion, kernel.dwMajorVersion);
  EXPECT_EQ(version.dwMinorVersion, kernel.dwMinorVersion);
  EXPECT_EQ(version.dwBuildNumber, kernel.dwBuildNumber);
  EXPECT_EQ(version.wProductType == VER_NT_WORKSTATION,
            kernel.wProductType == VER_NT_WORKSTATION);
}

TEST(MachineFacts, TheCollectionIsInitialisedWithTheSystemsFacts) {
  krCore::globals::close();
  krCore::globals* facts = krCore::singleton<krCore::globals>::instance();
  EXPECT_TRUE(facts->initialized());
  std::wstring value;
  ASSERT_TRUE(facts->getproperty(L"COMPUTERNAME", value));
  EXPECT_EQ(value, krCore::GetComputerNameW(false));
  ASSERT_TRUE(facts->getproperty(L"OSVERSION", value));
  const RTL_OSVERSIONINFOEXW kernel = kernel_version();
  const std::wstring prefix = std::to_wstring(kernel.dwMajorVersion) + L"." +
                              std::to_wstring(kernel.dwMinorVersion) + L"." +
                              std::to_wstring(kernel.dwBuildNumber) + L".";
  EXPECT_EQ(value.rfind(prefix, 0), 0u) << std::string(value.begin(), value.end());
  krCore::globals::close();
}

}  // namespace
