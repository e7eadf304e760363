// Version resources on Windows come from the system's own calls: a system
// module read by path and by handle, and language names in the system's
// words.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/versions.h>

#include <string>

namespace {

std::wstring system_file(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir, n) + L"\\" + name;
}

TEST(SystemVersions, AModuleReadsTheSameByPathAndByHandle) {
  krCore::fileversion byPath;
  ASSERT_TRUE(byPath.open(system_file(L"kernel32.dll")));
  EXPECT_GT(byPath.getfileversionmajor(), 0);
  std::wstring description;
  EXPECT_TRUE(byPath.querystringvalue(L"FileVersion", description));
  EXPECT_FALSE(description.empty());

  krCore::fileversion byHandle;
  ASSERT_TRUE(byHandle.open(GetModuleHandleW(L"kernel32.dll")));
  EXPECT_EQ(byHandle.getfileversionmajor(), byPath.getfileversionmajor());
  EXPECT_EQ(byHandle.getfileversionbuild(), byPath.getfileversionbuild());
  EXPECT_EQ(byHandle.getcurtrans(), byPath.getcurtrans());
}

// The compiler's runtime DLLs have no resource section at all: that is a
// file without a version resource, not a failure.
TEST(SystemVersions, AModuleWithoutResourcesHasNoVersion) {
  HMODULE runtime = GetModuleHandleW(L"libstdc++-6.dll");
  if (!runtime) runtime = GetModuleHandleW(L"libgcc_s_seh-1.dll");
  ASSERT_NE(runtime, nullptr);
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(runtime, path, MAX_PATH), 0u);

  krCore::fileversion byPath;
  EXPECT_FALSE(byPath.open(std::wstring(path)));
  EXPECT_EQ(GetLastError(), 1813u);
  krCore::fileversion byHandle;
  EXPECT_FALSE(byHandle.open(runtime));
}

TEST(SystemVersions, LanguageNamesAreTheSystems) {
  std::wstring name;
  ASSERT_TRUE(krCore::fileversion::getlidname(0x409, name));
  EXPECT_NE(name.find(L"English"), std::wstring::npos) << std::string(name.begin(), name.end());
}

}  // namespace
