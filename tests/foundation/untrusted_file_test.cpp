// Files that lie about what they are: FIFOs without a writer, endless
// devices, planted links, files that claim more than the format allows and
// files that shrink while read. Each must be refused or read within bounds,
// at once, with a code and a line naming the file.
#include "foundation/linux/untrusted_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace krCore::detail {
namespace {

class UntrustedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qmcore-untrusted-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    _dir = tmpl;
  }
  void TearDown() override { (void)std::system(("rm -rf '" + _dir + "'").c_str()); }
  std::string path(const char* name) const { return _dir + "/" + name; }
  void write_file(const char* name, const std::string& text) const {
    const int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  }
  std::string _dir;
};

TEST_F(UntrustedFile, RefusesTheWrongKindsAtOnceAndNamesTheFile) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  unique_fd fd;
  struct stat st {};
  // A FIFO with no writer: a blocking open would never return.
  file_result r = open_untrusted(AT_FDCWD, path("fifo"), file_kind::regular, final_link::follow,
                                 fd, st);
  EXPECT_EQ(r.code, 13u);
  EXPECT_NE(r.diagnostic.find(path("fifo")), std::string::npos) << r.diagnostic;
  EXPECT_NE(r.diagnostic.find("FIFO"), std::string::npos) << r.diagnostic;
  EXPECT_FALSE(fd);

  r = open_untrusted(AT_FDCWD, "/dev/zero", file_kind::regular, final_link::follow, fd, st);
  EXPECT_EQ(r.code, 13u) << r.diagnostic;
  r = open_untrusted(AT_FDCWD, _dir, file_kind::regular, final_link::follow, fd, st);
  EXPECT_EQ(r.code, 13u) << r.diagnostic;
  r = open_untrusted(AT_FDCWD, path("missing"), file_kind::regular, final_link::follow, fd, st);
  EXPECT_EQ(r.code, 2u) << r.diagnostic;

  write_file("plain", "x");
  r = open_untrusted(AT_FDCWD, path("plain"), file_kind::directory, final_link::follow, fd, st);
  EXPECT_EQ(r.code, 3u) << r.diagnostic;
  r = open_untrusted(AT_FDCWD, _dir, file_kind::directory, final_link::follow, fd, st);
  EXPECT_EQ(r.code, 0u) << r.diagnostic;
  EXPECT_TRUE(fd);
}

TEST_F(UntrustedFile, AFinalLinkIsFollowedOnlyWhenAsked) {
  write_file("target", "secret");
  ASSERT_EQ(::symlink(path("target").c_str(), path("link").c_str()), 0);
  unique_fd fd;
  struct stat st {};
  file_result r = open_untrusted(AT_FDCWD, path("link"), file_kind::regular, final_link::refuse,
                                 fd, st);
  EXPECT_EQ(r.code, 1920u);
  EXPECT_NE(r.diagnostic.find("link"), std::string::npos) << r.diagnostic;
  r = open_untrusted(AT_FDCWD, path("link"), file_kind::regular, final_link::follow, fd, st);
  ASSERT_EQ(r.code, 0u) << r.diagnostic;
  std::string text;
  ASSERT_TRUE(read_bounded(fd.get(), path("link"), 64, text));
  EXPECT_EQ(text, "secret");
  // The descriptor reads normally: the non-blocking open does not leak out.
  EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(UntrustedFile, ReadsNoMoreThanTheBoundAllows) {
  write_file("small", std::string(100, 'a'));
  // A sparse file that claims a gigabyte is refused before anything is
  // allocated for it.
  const int big = ::open(path("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(big, 0);
  ASSERT_EQ(::ftruncate(big, off_t{1} << 30), 0);
  ::close(big);

  unique_fd fd;
  struct stat st {};
  std::string text;
  ASSERT_TRUE(open_untrusted(AT_FDCWD, path("sparse"), file_kind::regular, final_link::follow, fd,
                             st));
  file_result r = read_bounded(fd.get(), path("sparse"), 4096, text);
  EXPECT_EQ(r.code, 223u);
  EXPECT_TRUE(text.empty());
  EXPECT_NE(r.diagnostic.find(path("sparse")), std::string::npos) << r.diagnostic;

  ASSERT_TRUE(open_untrusted(AT_FDCWD, path("small"), file_kind::regular, final_link::follow, fd,
                             st));
  EXPECT_EQ(read_bounded(fd.get(), path("small"), 99, text).code, 223u);
  ASSERT_TRUE(read_bounded(fd.get(), path("small"), 100, text));
  EXPECT_EQ(text.size(), 100u);
  ASSERT_TRUE(read_bounded(fd.get(), path("small"), 100, text, 60));
  EXPECT_EQ(text.size(), 40u);
}

TEST_F(UntrustedFile, AFileThatShrinksGivesWhatIsLeft) {
  write_file("shrinking", std::string(8192, 'b'));
  unique_fd fd;
  struct stat st {};
  ASSERT_TRUE(open_untrusted(AT_FDCWD, path("shrinking"), file_kind::regular, final_link::follow,
                             fd, st));
  ASSERT_EQ(::truncate(path("shrinking").c_str(), 10), 0);
  std::string text;
  ASSERT_TRUE(read_bounded(fd.get(), path("shrinking"), 1 << 20, text));
  EXPECT_EQ(text, std::string(10, 'b'));
  char buffer[64];
  EXPECT_EQ(read_exact_at(fd.get(), buffer, sizeof buffer, 0), 38u);
  EXPECT_EQ(read_exact_at(fd.get(), buffer, 10, 0), 0u);
}

}  // namespace
}  // namespace krCore::detail
