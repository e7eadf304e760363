// The redirection scope in a 64-bit process: nothing is redirected, so the
// scope calls nothing and changes nothing, the files of the system folder
// are reachable before, inside and after it, and no operation throws. What the scope
// does in a 32-bit process under WOW64 cannot run here (this build is
// 64-bit only, and 32-bit code does not run on this test machine), so it is
// not tested; no fake stands in for it.
#include <gtest/gtest.h>
#include <krcore/files.h>
#include <windows.h>

#include <boost/filesystem.hpp>

#include <string>

namespace {

namespace fs = boost::filesystem;

fs::path system_file() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  EXPECT_GT(length, 0u);
  return fs::path(std::wstring(folder, length)) / L"kernel32.dll";
}

#ifdef _WIN64
TEST(RedirectionScope, A64BitProcessIsLeftAsItIs) {
  const fs::path kernel32 = system_file();
  ASSERT_TRUE(fs::is_regular_file(kernel32)) << kernel32.string();

  // A call that the scope made would leave its own last error behind.
  constexpr DWORD kMarker = 0x2BADu;
  {
    krCore::auto_wow64filesystemredirect scope;
    SetLastError(kMarker);
    scope.enable();
    EXPECT_EQ(GetLastError(), kMarker);
    EXPECT_TRUE(fs::is_regular_file(kernel32));
    SetLastError(kMarker);
    scope.disable();
    EXPECT_EQ(GetLastError(), kMarker);
    scope.enable();  // again after disable(): still nothing to do
    EXPECT_EQ(GetLastError(), kMarker);
    EXPECT_TRUE(fs::is_regular_file(kernel32));
    SetLastError(kMarker);
  }
  EXPECT_EQ(GetLastError(), kMarker);
  EXPECT_TRUE(fs::is_regular_file(kernel32));
}
#endif

}  // namespace
