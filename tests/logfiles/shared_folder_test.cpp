// A log folder that another account may change, as root: the account swaps
// the folder for a link to a folder it may not write, and the next rotation
// must neither shift, prune nor create a file there. A link the account
// could not have made is still followed.
#include <sys/wait.h>
#include <unistd.h>

#include "logfile_support.h"
#include "logging/logfile_writer.h"

namespace {

using namespace logfiletest;

constexpr uid_t kNobody = 65534;

class SharedFolderTest : public LogFileTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root and the account 65534";
    LogFileTest::SetUp();
  }
  void TearDown() override {
    LogFileTest::TearDown();
    krCore::detail::set_log_check_interval_ms(100);
  }
  // Runs `step` in a child as the account 65534; true when it succeeded.
  template <typename Step>
  static bool as_nobody(Step step) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0)
        ::_exit(100);
      ::_exit(step() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }
};

TEST_F(SharedFolderTest, AFolderSwappedForALinkTakesNoRotationOutside) {
  krCore::detail::set_log_check_interval_ms(0);  // look before every line
  debug_capture capture;
  // The folder above the logs belongs to the other account.
  const fs::path open = dir / "open";
  fs::create_directories(open / "logs");
  ASSERT_EQ(::chown(open.c_str(), kNobody, kNobody), 0);
  // Root's own files, named like the logger's, in a folder only root writes.
  const fs::path victim = dir / "victim";
  fs::create_directories(victim);
  const fs::path base = open / "logs" / "Svc";
  for (int n = 1; n <= 3; ++n)
    std::ofstream(numbered(victim / "Svc", n)) << "precious " << n;

  log->initialize(0x1, logger::log_normal, 1, 2, base.wstring().c_str());
  log->log(L"before the swap");
  ASSERT_TRUE(fs::exists(numbered(base, 1)));

  // The account moves the folder aside and puts a link in its place; the
  // next line finds its file gone and rotates.
  const std::string logs = (open / "logs").string(), away = (open / "away").string(),
                    target = victim.string();
  ASSERT_TRUE(as_nobody([&] {
    return ::rename(logs.c_str(), away.c_str()) == 0 && ::symlink(target.c_str(), logs.c_str()) == 0;
  }));
  log->log(L"after the swap");
  log->log(L"and once more");
  logger::close();

  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(raw(numbered(victim / "Svc", n)), "precious " + std::to_string(n)) << n;
  EXPECT_FALSE(fs::exists(numbered(victim / "Svc", 4)));
  EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 3);
  // The file the logger had stays where the account moved it, untouched.
  EXPECT_NE(read_log(numbered(open / "away" / "Svc", 1)).text.find(L"before the swap"),
            std::wstring::npos);
  EXPECT_TRUE(saw(capture, L"logs] is a symbolic link; refused"));
}

TEST_F(SharedFolderTest, ALinkOnlyRootCouldMakeIsFollowed) {
  krCore::detail::set_log_check_interval_ms(0);
  const fs::path real = dir / "real";
  fs::create_directories(real);
  fs::create_directory_symlink(real, dir / "logs");
  const fs::path base = dir / "logs" / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 2, base.wstring().c_str());
  log->log(L"first");
  fs::remove(numbered(base, 1));  // a rotation in the linked folder
  log->log(L"second");
  logger::close();
  EXPECT_NE(read_log(numbered(real / "Svc", 1)).text.find(L"second"), std::wstring::npos);
}

}  // namespace
