// Deletion on Windows: a writer that shares deletion (as the log files do)
// would not stop the system from removing its file, so the library's own
// probe must; a reader does not count as holding the file.
#include <gtest/gtest.h>
#include <windows.h>

#include <boost/filesystem.hpp>

#include <string>

#include "files/file_services.h"

namespace {

namespace fs = boost::filesystem;

class InUse : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("qmcore-inuse-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir / "sub");
    file = dir / "sub" / "held.log.txt";
    const HANDLE made = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);
  }
  void TearDown() override {
    boost::system::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  HANDLE hold(DWORD access) {
    return CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
  }

  fs::path dir;
  fs::path file;
};

TEST_F(InUse, AWriterHoldsTheFileAndItsFoldersAReaderDoesNot) {
  const HANDLE writer = hold(GENERIC_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_THROW(krCore::detail::throw_if_in_use(file), fs::filesystem_error);
  EXPECT_THROW(krCore::detail::throw_if_in_use(dir), fs::filesystem_error);
  CloseHandle(writer);

  const HANDLE reader = hold(GENERIC_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_NO_THROW(krCore::detail::throw_if_in_use(file));
  EXPECT_NO_THROW(krCore::detail::throw_if_in_use(dir));
  CloseHandle(reader);
}

}  // namespace
