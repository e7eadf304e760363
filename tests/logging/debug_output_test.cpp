// The debugger output channel: the test hook, and the file listener chosen
// by KRCORE_DEBUG_OUTPUT in a real child process.
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "logging/debug_output.h"
#include "log_capture.h"
#include "foundation/utf.h"

namespace {

using krCore::detail::debug_output;

TEST(DebugOutput, HookReceivesWideAndNarrowText) {
  logtest::debug_capture capture;
  EXPECT_TRUE(krCore::detail::debug_output_active());
  debug_output(std::wstring_view(L"wide \u00e9\r\n"));
  debug_output(std::string_view("narrow \xc3\xa9\r\n"));
  EXPECT_EQ(capture.texts(), (std::vector<std::wstring>{L"wide \u00e9\r\n", L"narrow \u00e9\r\n"}));
}

#if !defined(_WIN32)  // the listener chosen by the environment is Linux's
// Runs only as the child of FileListenerAppends: sends two texts and ends.
TEST(DebugOutput, DISABLED_ChildWritesTwoTexts) {
  if (!std::getenv("KRCORE_TEST_DEBUG_CHILD")) GTEST_SKIP();
  debug_output(std::wstring_view(L"first \u00e9\r\n"));
  debug_output(std::string_view("second\r\n"));
}

std::string read_all(const std::string& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Runs the child test with KRCORE_DEBUG_OUTPUT set to `target` and its
// standard error in `stderr_path`. False when it did not end within a
// minute (it is killed then) or did not exit with 0.
bool run_child(const std::string& target, const std::string& stderr_path) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err >= 0) dup2(err, STDERR_FILENO);
    setenv("KRCORE_DEBUG_OUTPUT", target.c_str(), 1);
    setenv("KRCORE_TEST_DEBUG_CHILD", "1", 1);
    execl("/proc/self/exe", "child", "--gtest_filter=DebugOutput.DISABLED_ChildWritesTwoTexts",
          "--gtest_also_run_disabled_tests", nullptr);
    _exit(127);
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  struct pollfd p {
    pidfd, POLLIN, 0
  };
  const bool ended = pidfd >= 0 && poll(&p, 1, 60000) == 1;
  if (!ended) kill(child, SIGKILL);
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  waitpid(child, &status, 0);
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct temp_dir {
  std::string path;
  temp_dir() {
    char dir[] = "/tmp/qmcore-debugout-XXXXXX";
    if (mkdtemp(dir)) path = dir;
  }
  ~temp_dir() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
};

TEST(DebugOutput, FileListenerAppends) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string path = dir.path + "/debug.txt";
  { std::ofstream(path) << "existing\n"; }
  ASSERT_TRUE(run_child(path, dir.path + "/stderr.txt"));
  EXPECT_EQ(read_all(path), "existing\nfirst \xc3\xa9\r\nsecond\r\n");
}

// A FIFO without a reader would hold every text for ever, a planted link
// would redirect the appends: both are refused, the channel stays silent
// and standard error names the file once.
TEST(DebugOutput, FileListenerRefusesFifoAndLink) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string fifo = dir.path + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(run_child(fifo, dir.path + "/fifo-stderr.txt"));
  EXPECT_NE(read_all(dir.path + "/fifo-stderr.txt").find("[" + fifo + "] is a FIFO"),
            std::string::npos);

  const std::string target = dir.path + "/target";
  const std::string link = dir.path + "/link";
  { std::ofstream(target) << "kept\n"; }
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(run_child(link, dir.path + "/link-stderr.txt"));
  EXPECT_EQ(read_all(target), "kept\n");
  EXPECT_NE(read_all(dir.path + "/link-stderr.txt").find("[" + link + "] is a symbolic link"),
            std::string::npos);
}
#endif

}  // namespace
