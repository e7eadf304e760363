// Faults whose exception no handler can catch: a real program faults inside
// libc under a frame with cleanups, inside noexcept functions, under a
// catch clause for another class and in runaway recursion, built at -O0,
// -O1 and -O2. Each must be caught, or reported by the crash diagnostics
// and end as an unhandled fault ends — never in std::terminate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

struct outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

// Runs the child built at -O`level` on case `which` with the bad address
// 0x20, its debugger output sent to standard error.
outcome run_child(int level, const std::string& which) {
  const std::string program = std::string(UNHANDLED_CHILD_DIR) + "/unhandled_child_O" +
                              std::to_string(level);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<std::string> env_text = {"KRCORE_DEBUG_OUTPUT=stderr"};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("KRCORE_DEBUG_OUTPUT=", 0) != 0) env_text.emplace_back(*e);
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string a0 = program, a1 = which, a2 = "0x20";
  char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  outcome out;
  char buffer[4096];
  ssize_t n;
  while (rc == 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0) out.output.append(buffer, n);
  close(fds[0]);
  if (rc == 0) waitpid(pid, &out.status, 0);
  return out;
}

bool killed_by(const outcome& o, int sig) { return WIFSIGNALED(o.status) && WTERMSIG(o.status) == sig; }

// Checks that the fault was caught, or reported and ended as an unhandled
// fault (by `sig`, or with status 5 for a write), and never terminated.
void expect_caught_or_reported(const outcome& o, int sig) {
  EXPECT_EQ(o.output.find("terminate called"), std::string::npos) << o.output;
  EXPECT_FALSE(killed_by(o, SIGABRT)) << o.output;
  if (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0) {
    EXPECT_NE(o.output.find("caught "), std::string::npos) << o.output;
    return;
  }
  EXPECT_TRUE(killed_by(o, sig) || (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 5))
      << "status " << o.status << "\n"
      << o.output;
  EXPECT_NE(o.output.find("that no handler can catch, process will be terminated!"),
            std::string::npos)
      << o.output;
  EXPECT_NE(o.output.find("Stack trace : "), std::string::npos) << o.output;
}

bool caught(const outcome& o) { return WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0; }

TEST(UnhandledFault, IsReportedAndEndsTheProcessAtEveryOptimisationLevel) {
  for (int level : {0, 1, 2}) {
    for (const std::string which : {"strlen", "memcpy", "noexcept", "wrong-clause", "recurse"}) {
      SCOPED_TRACE(which + " at -O" + std::to_string(level));
      const outcome o = run_child(level, which);
      expect_caught_or_reported(o, SIGSEGV);
      if (which == "strlen") {
        // A call to strlen cannot throw as far as the compiler knows: the
        // frame with the string has nothing that lets the exception pass.
        EXPECT_TRUE(killed_by(o, SIGSEGV)) << o.output;
        EXPECT_NE(o.output.find("Access Violation at 0x"), std::string::npos) << o.output;
      }
      if (which == "memcpy" || which == "wrong-clause") {
        // Frames the exception can pass, and a clause for another class
        // that leaves it to main's: these are caught.
        EXPECT_TRUE(caught(o)) << o.output;
      }
    }
  }
}

TEST(UnhandledFault, AWriteEndsWithTheWriteViolationStatusAfterItsReport) {
  const outcome o = run_child(2, "write");
  ASSERT_TRUE(WIFEXITED(o.status)) << o.status << "\n" << o.output;
  EXPECT_EQ(WEXITSTATUS(o.status), 5);
  EXPECT_NE(o.output.find("that no handler can catch, process will be terminated!"),
            std::string::npos)
      << o.output;
  EXPECT_EQ(o.output.find("terminate called"), std::string::npos) << o.output;
}

}  // namespace
