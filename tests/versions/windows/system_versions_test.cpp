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

TEST(SystemVersions, LanguageNamesAreTheSystems) {
  std::wstring name;
  ASSERT_TRUE(krCore::fileversion::getlidname(0x409, name));
  EXPECT_NE(name.find(L"English"), std::wstring::npos) << std::string(name.begin(), name.end());
}

}  // namespace
