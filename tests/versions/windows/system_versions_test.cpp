// Version resources on Windows come from the system's own calls: a system
// module read by path and by handle, and language names in the system's
// words.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/foundation.h>
#include <krcore/versions.h>

#include <string>

#include "foundation/thrown.h"

namespace {

using testsupport::thrown;

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

// The compiler's runtime DLLs have no resource section at all. The system
// tells that apart from a file whose resources hold no version (1813): it
// answers 1812, which open passes on as the failure it is, by path and by
// handle alike.
TEST(SystemVersions, AModuleWithoutResourcesHasNoVersion) {
  HMODULE runtime = GetModuleHandleW(L"libstdc++-6.dll");
  if (!runtime) runtime = GetModuleHandleW(L"libgcc_s_seh-1.dll");
  ASSERT_NE(runtime, nullptr);
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(runtime, path, MAX_PATH), 0u);
  SetLastError(0);
  ASSERT_EQ(GetFileVersionInfoSizeW(path, nullptr), 0u);
  ASSERT_EQ(GetLastError(), 1812u);

  krCore::fileversion byPath;
  const auto e = thrown<krException>([&] { byPath.open(std::wstring(path)); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 1812u);
  EXPECT_EQ(std::string(e->what()),
            "fileversion::open::GetFileVersionInfoSize() failed on file (" +
                krCore::convertwstringtostring(path) + "). Error Code: 1812");
  krCore::fileversion byHandle;
  const auto h = thrown<krException>([&] { byHandle.open(runtime); });
  ASSERT_TRUE(h);
  EXPECT_EQ(h->code(), 1812u);
}

TEST(SystemVersions, LanguageNamesAreTheSystems) {
  std::wstring name;
  ASSERT_TRUE(krCore::fileversion::getlidname(0x409, name));
  EXPECT_NE(name.find(L"English"), std::wstring::npos) << std::string(name.begin(), name.end());
}

}  // namespace
