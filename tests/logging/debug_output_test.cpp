// The debugger output channel: the test hook, and the file listener chosen
// by KRCORE_DEBUG_OUTPUT in a real child process.
#if !defined(_WIN32)
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

TEST(DebugOutput, FileListenerAppends) {
  char dir[] = "/tmp/qmcore-debugout-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/debug.txt";
  { std::ofstream(path) << "existing\n"; }

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("KRCORE_DEBUG_OUTPUT", path.c_str(), 1);
    setenv("KRCORE_TEST_DEBUG_CHILD", "1", 1);
    execl("/proc/self/exe", "child", "--gtest_filter=DebugOutput.DISABLED_ChildWritesTwoTexts",
          "--gtest_also_run_disabled_tests", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str(), "existing\nfirst \xc3\xa9\r\nsecond\r\n");
  std::remove(path.c_str());
  rmdir(dir);
}
#endif

}  // namespace
