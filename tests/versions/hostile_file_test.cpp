// Files that lie to the version reader: a FIFO or a device named as an
// image, a string typed binary whose length counts bytes, a resource that
// claims a gigabyte of a sparse file, and a version block under a name
// other than 1. Each must be answered with a code or read within the
// resource, never hang, over-read or allocate what the file claims.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <krcore/versions.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/utf.h"
#include "versions/hostile_image.h"

using krCore::fileversion;
using versiontest::node;
using versiontest::pe_image;
using versiontest::utf16;
using versiontest::version_block;

namespace {

class HostileFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qmcore-versions-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    _dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(_dir); }

  std::string path(const char* name) const { return _dir + "/" + name; }
  std::wstring wpath(const char* name) const { return krCore::convertstringtowstring(path(name)); }
  void write(const char* name, const std::string& bytes, std::uint64_t length = 0) const {
    const int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (length) {
      ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(length)), 0);
    }
    ::close(fd);
  }

  std::string _dir;
};

// The code of a thrown krException, or 0 when nothing was thrown.
template <class F>
unsigned thrown_code(F&& f) {
  try {
    f();
  } catch (const krException& e) {
    return e.code();
  }
  return 0;
}

// A FIFO without a writer would block an ordinary open for ever; the calls
// run in a child that an alarm ends, so a regression fails instead of
// hanging the suite.
TEST_F(HostileFile, AFifoOrADeviceIsAnsweredAtOnce) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  const std::wstring fifo = wpath("fifo");
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    int failures = 0;
    for (const std::wstring& name : {fifo, std::wstring(L"/dev/zero")}) {
      SetLastError(0);
      if (GetFileVersionInfoSizeW(name.c_str(), nullptr) != 0 || GetLastError() != 1812) ++failures;
      fileversion fv;
      if (thrown_code([&] { fv.open(name); }) != 1812) ++failures;
    }
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A string typed binary counts its value in bytes; read as UTF-16 units it
// would run into the next block (or past the resource).
TEST_F(HostileFile, AStringTypedBinaryIsReadInBytes) {
  const std::string strings[] = {
      node(u"CompanyName", utf16(u"AB"), 4, 0),
      node(u"ProductName", utf16(u"Zed") + std::string(2, '\0'), 4, 1),
  };
  write("binary.exe", pe_image::build(version_block({strings[0], strings[1]})));
  fileversion fv;
  ASSERT_TRUE(fv.open(wpath("binary.exe")));
  EXPECT_EQ(fv.getfileversionminor(), 2);
  std::wstring value;
  ASSERT_TRUE(fv.querystringvalue(L"CompanyName", value));
  EXPECT_EQ(value, L"AB");
  ASSERT_TRUE(fv.querystringvalue(L"ProductName", value));
  EXPECT_EQ(value, L"Zed");

  // The binary string as the resource's last bytes, and an odd byte count.
  write("last.exe", pe_image::build(version_block({node(u"CompanyName", utf16(u"XY") + "Z", 5, 0)})));
  ASSERT_TRUE(fv.open(wpath("last.exe")));
  ASSERT_TRUE(fv.querystringvalue(L"CompanyName", value));
  EXPECT_EQ(value, L"XY");
}

// A resource that claims a gigabyte of a sparse file is read no further
// than a version block can reach.
TEST_F(HostileFile, AResourceClaimingAGigabyteReadsOnlyWhatABlockCanHold) {
  constexpr std::uint32_t kClaimed = 1u << 30;
  const std::string block = version_block({node(u"CompanyName", utf16(u"Big") + std::string(2, '\0'), 4, 1)});
  write("sparse.exe", pe_image::build(block, 1, kClaimed), pe_image::sparse_size(kClaimed));
  SetLastError(0);
  const DWORD size = GetFileVersionInfoSizeW(wpath("sparse.exe").c_str(), nullptr);
  EXPECT_GE(size, block.size());
  EXPECT_LE(size, 0xFFFFu);
  fileversion fv;
  ASSERT_TRUE(fv.open(wpath("sparse.exe")));
  std::wstring value;
  ASSERT_TRUE(fv.querystringvalue(L"CompanyName", value));
  EXPECT_EQ(value, L"Big");
}

// Only the resource named 1 is the version resource.
TEST_F(HostileFile, AVersionBlockUnderAnotherNameIsNotTheFilesVersion) {
  write("named2.exe", pe_image::build(version_block({}), 2));
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeW(wpath("named2.exe").c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), 1813u);
  fileversion fv;
  EXPECT_FALSE(fv.open(wpath("named2.exe")));

  write("named1.exe", pe_image::build(version_block({})));
  EXPECT_TRUE(fv.open(wpath("named1.exe")));
}

// A folder whose name is not UTF-8 (a Latin-1 "café"): the wide name made
// by the library's file-name mapping opens the file under those bytes, for
// the class and for the system-style calls alike.
TEST_F(HostileFile, ANameThatIsNotUtf8OpensTheFileUnderIt) {
  ASSERT_EQ(::mkdir(path("caf\xE9").c_str(), 0755), 0);
  write("caf\xE9/named1.exe", pe_image::build(version_block({})));
  const std::wstring name = krCore::detail::wide_from_file_name(path("caf\xE9/named1.exe"));
  fileversion fv;
  EXPECT_TRUE(fv.open(name));
  EXPECT_NE(GetFileVersionInfoSizeW(name.c_str(), nullptr), 0u);
}

}  // namespace
