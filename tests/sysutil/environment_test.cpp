// The process environment helpers, against the real process: its executable,
// its threads, a pseudo-terminal as standard error and a real tracer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <krcore/sysutil.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "processes/log_record.h"
#include "sysutil/environment.h"

extern char** environ;

using namespace krCore;

namespace {

constexpr long kChangedMode = static_cast<int>(0x80010106u);
constexpr long kTooLate = static_cast<int>(0x80010119u);
constexpr long kNotInitialized = static_cast<int>(0x800401F0u);
constexpr long kInvalidArg = static_cast<int>(0x80070057u);
constexpr char kChildVariable[] = "KRCORE_TEST_MODULE_PATH_CHILD";

// When started as the helper of ModulePath.DeletedExecutableKeepsItsPath,
// this program says it is running, waits until its file has been deleted
// and prints what getmodulepath reports, before any test runs.
const bool g_helper = [] {
  if (!std::getenv(kChildVariable)) return false;
  std::printf("ready\n");
  std::fflush(stdout);
  char go[8];
  if (!std::fgets(go, sizeof go, stdin)) std::_Exit(2);
  std::printf("%s\n%s\n", convertwstringtostring(getmodulepath(true)).c_str(),
              convertwstringtostring(getmodulepath(false)).c_str());
  std::fflush(stdout);
  std::_Exit(0);
}();

// Reads one line from `fd`, waiting at most 60 seconds.
std::string read_line(int fd) {
  std::string line;
  char c;
  while (line.empty() || line.back() != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 60000) != 1 || read(fd, &c, 1) != 1) break;
    line.push_back(c);
  }
  if (!line.empty()) line.pop_back();
  return line;
}

// Standard error redirected to a new pseudo-terminal for the object's
// lifetime; what was written is read from its master side.
class TerminalStderr {
 public:
  TerminalStderr() {
    _master = posix_openpt(O_RDWR | O_NOCTTY);
    if (_master < 0 || grantpt(_master) != 0 || unlockpt(_master) != 0) return;
    const int slave = open(ptsname(_master), O_RDWR | O_NOCTTY);
    if (slave < 0) return;
    std::fflush(stderr);
    _saved = dup(STDERR_FILENO);
    dup2(slave, STDERR_FILENO);
    close(slave);
  }
  ~TerminalStderr() {
    restore();
    if (_master >= 0) close(_master);
  }
  bool ok() const { return _saved >= 0; }
  void restore() {
    if (_saved < 0) return;
    dup2(_saved, STDERR_FILENO);
    close(_saved);
    _saved = -1;
  }
  // One line as the terminal passes it on (it turns "\n" into "\r\n").
  std::string line() {
    std::string text = read_line(_master);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
  }

 private:
  int _master = -1;
  int _saved = -1;
};

std::string exe_name() {
  return std::filesystem::path(convertwstringtostring(getmodulepath(true))).filename();
}

}  // namespace

TEST(ModulePath, IsThisTestProgramAndItsDirectory) {
  const std::wstring full = getmodulepath(true);
  const std::wstring dir = getmodulepath(false);
  ASSERT_FALSE(full.empty());
  EXPECT_EQ(full.front(), L'/');
  EXPECT_EQ(full, dir + L"/sysutil_tests");
  EXPECT_TRUE(std::filesystem::equivalent(convertwstringtostring(full), "/proc/self/exe"));
  EXPECT_NE(dir.back(), L'/');
  EXPECT_EQ(getwindowsdirectory(), L"/etc");
}

// Runs a copy of this program named `name` in a fresh folder, removes the
// folder (the running file with it) when `remove` says so, and returns what
// the copy then reports as its full path and its folder, and that folder.
struct reported_paths {
  std::string full, folder, dir;
};
reported_paths run_copy(const std::string& name, bool remove) {
  reported_paths out;
  char dir_template[] = "/tmp/krcore-modpath-XXXXXX";
  if (!mkdtemp(dir_template)) return out;
  out.dir = dir_template;
  const std::string copy = out.dir + "/" + name;
  std::filesystem::copy_file("/proc/self/exe", copy);
  chmod(copy.c_str(), 0700);

  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return out;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  setenv(kChildVariable, "1", 1);
  char* argv[] = {const_cast<char*>(copy.c_str()), nullptr};
  pid_t child = -1;
  const int spawned = posix_spawn(&child, copy.c_str(), &actions, nullptr, argv, environ);
  unsetenv(kChildVariable);
  posix_spawn_file_actions_destroy(&actions);
  close(to_child[0]);
  close(from_child[1]);
  if (spawned == 0 && read_line(from_child[0]) == "ready") {
    if (remove) std::filesystem::remove_all(out.dir);  // the running program's file is gone
    if (write(to_child[1], "go\n", 3) == 3) {
      out.full = read_line(from_child[0]);
      out.folder = read_line(from_child[0]);
    }
  }
  close(to_child[1]);
  close(from_child[0]);
  if (spawned == 0) waitpid(child, nullptr, 0);
  std::filesystem::remove_all(out.dir);
  return out;
}

// A removed executable keeps its path; one whose name really ends in the
// kernel's mark for a removed file keeps that name, removed or not.
TEST(ModulePath, DeletedExecutableKeepsItsPath) {
  for (const auto& [name, remove] :
       {std::pair{"copy of tests", true}, std::pair{"agent (deleted)", false},
        std::pair{"agent (deleted)", true}}) {
    const reported_paths seen = run_copy(name, remove);
    ASSERT_FALSE(seen.dir.empty());
    EXPECT_EQ(seen.full, seen.dir + "/" + name) << name << (remove ? ", removed" : "");
    EXPECT_EQ(seen.folder, seen.dir) << name;
  }
}

TEST(ComInitialize, ResultsOnOneThreadFollowItsCount) {
  std::thread([] {
    {
      ComInitialize first(false, COINIT_MULTITHREADED);
      EXPECT_EQ(first.ErrorCode(), S_OK);
      {
        ComInitialize again(false, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
        EXPECT_EQ(again.ErrorCode(), S_FALSE);
        ComInitialize other(false, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(other.ErrorCode(), kChangedMode);
        ComInitialize bad(false, 0x10);
        EXPECT_EQ(bad.ErrorCode(), kInvalidArg);
      }
      // The three destructors above undid three initialisations, failed ones
      // included, so the thread is no longer initialised although `first`
      // still exists: a new mode is accepted.
      ComInitialize apartment(false, COINIT_APARTMENTTHREADED);
      EXPECT_EQ(apartment.ErrorCode(), S_OK);
    }
    ComInitialize fresh(false, COINIT_MULTITHREADED);
    EXPECT_EQ(fresh.ErrorCode(), S_OK);
  }).join();
}

TEST(ComInitialize, ThreadsAreIndependentAndSecurityIsOncePerProcess) {
  std::thread([] {
    // Security needs an initialised thread and is not used up by the failure.
    ComInitialize none(true, 0x10, 2, 3);
    EXPECT_EQ(none.ErrorCode(), kNotInitialized);
  }).join();
  std::thread([] {
    ComInitialize mta(false, COINIT_MULTITHREADED);
    EXPECT_EQ(mta.ErrorCode(), S_OK);
    std::thread([] {
      ComInitialize sta(true, COINIT_APARTMENTTHREADED, 2, 3);
      EXPECT_EQ(sta.ErrorCode(), S_OK);
    }).join();
    // The security result wins over the thread's own S_FALSE.
    ComInitialize late(true, COINIT_MULTITHREADED, 2, 3);
    EXPECT_EQ(late.ErrorCode(), kTooLate);
    ComInitialize changed(true, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(changed.ErrorCode(), kTooLate);
  }).join();
}

TEST(ShowMessage, WritesTitleAndTextToATerminalAndReturnsTheDefaultButton) {
  TerminalStderr term;
  ASSERT_TRUE(term.ok());
  // Nobody answers: the declared default where there is one, otherwise the
  // button that changes nothing.
  EXPECT_EQ(ShowMessage(L"Disk gr\u00fcn \U0001F600", L"Status", MB_OK), IDOK);
  EXPECT_EQ(ShowMessage(L"no title", L"", MB_YESNO), IDNO);
  EXPECT_EQ(ShowMessage(L"second", L"t", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(ShowMessage(L"third", L"t", MB_ABORTRETRYIGNORE | MB_DEFBUTTON3), IDIGNORE);
  EXPECT_EQ(ShowMessage(L"fewer", L"t", MB_OKCANCEL | MB_DEFBUTTON3), IDCANCEL);
  EXPECT_EQ(ShowMessage(L"declared", L"t", MB_CANCELTRYCONTINUE | MB_DEFBUTTON3), IDCONTINUE);
  term.restore();
  EXPECT_EQ(term.line(), "Status: Disk gr\xc3\xbcn \xf0\x9f\x98\x80");
  EXPECT_EQ(term.line(), exe_name() + ": no title");
  EXPECT_EQ(term.line(), "t: second");
}

TEST(ShowMessage, StaysSilentWhenStandardErrorIsNoTerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  const int result = ShowMessage(L"Delete all data?", L"t", MB_YESNO);
  const int cancelled = ShowMessage(L"unseen", L"t", MB_YESNOCANCEL);
  const int retried = ShowMessage(L"unseen", L"t", MB_RETRYCANCEL);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fds[1]);
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 0);  // end of file: nothing was written
  close(fds[0]);
  EXPECT_EQ(result, IDNO);
  EXPECT_EQ(cancelled, IDCANCEL);
  EXPECT_EQ(retried, IDCANCEL);
}

class ShowMessageLog : public proctest::LoggedTest {};

// An answer given on nobody's behalf is a warning in the log; a box with
// nothing to choose needs none.
TEST_F(ShowMessageLog, SaysThatNobodyWasAsked) {
  EXPECT_EQ(ShowMessage(L"Done.", L"Cleanup", MB_OK), IDOK);
  EXPECT_EQ(ShowMessage(L"Delete all data?", L"Cleanup", MB_YESNO), IDNO);
  const auto logged = with(L"nobody was asked");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].level, logger::log_warning);
  EXPECT_NE(logged[0].text.find(L"Cleanup: Delete all data?"), std::wstring::npos);
}

// A negative or huge time-out must not wrap around to no wait at all.
TEST(AttachMessageBox, TimeOutsOutOfRangeStillWait) {
  const struct {
    const char* value;
    unsigned long ms;
  } cases[] = {
      {"300", 300},
      {"-1", 60000},
      {"-99999999999999999999", 60000},
      {"18446744073709551615", 7ul * 24 * 3600 * 1000},
      {"99999999999999999999999", 7ul * 24 * 3600 * 1000},
      {"soon", 60000},
  };
  for (const auto& c : cases) {
    setenv("KRCORE_ATTACH_TIMEOUT_MS", c.value, 1);
    EXPECT_EQ(krCore::detail::attach_timeout_ms(), c.ms) << c.value;
  }
  unsetenv("KRCORE_ATTACH_TIMEOUT_MS");
}

TEST(AttachMessageBox, AnnouncesThePidAndGivesUpAfterTheTimeOut) {
  TerminalStderr term;
  ASSERT_TRUE(term.ok());
  setenv("KRCORE_ATTACH_TIMEOUT_MS", "300", 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AttachMessageBox(L""), IDOK);
  const auto waited = std::chrono::steady_clock::now() - start;
  unsetenv("KRCORE_ATTACH_TIMEOUT_MS");
  term.restore();
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_EQ(term.line(),
            "Attach Debugger Now: PID [" + std::to_string(getpid()) + "] - " + exe_name());
}

TEST(AttachMessageBox, ReturnsOnceADebuggerIsAttached) {
  // Let a child trace us even where the ptrace policy limits tracers to
  // ancestors; without that policy the call fails harmlessly.
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
  int attached[2], release[2];
  ASSERT_EQ(pipe(attached), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t parent = getpid();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(attached[0]);
    close(release[1]);
    // Seizing does not stop the tracee; it only makes us its tracer.
    const char ok = ptrace(PTRACE_SEIZE, parent, nullptr, nullptr) == 0 ? 'y' : 'n';
    if (write(attached[1], &ok, 1) != 1) _exit(2);
    char c;
    while (read(release[0], &c, 1) > 0) {
    }
    _exit(0);  // exiting detaches
  }
  close(attached[1]);
  close(release[0]);
  char ok = 'n';
  ASSERT_EQ(read(attached[0], &ok, 1), 1);
  std::chrono::steady_clock::duration waited{};
  if (ok == 'y') {
    setenv("KRCORE_ATTACH_TIMEOUT_MS", "240000", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(AttachMessageBox(L"tests"), IDOK);
    waited = std::chrono::steady_clock::now() - start;
    unsetenv("KRCORE_ATTACH_TIMEOUT_MS");
  }
  close(release[1]);
  close(attached[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (ok != 'y') GTEST_SKIP() << "this machine does not allow ptrace";
  // Far below the time-out: the wait ended because of the tracer.
  EXPECT_LT(waited, std::chrono::seconds(120));
}

TEST(StreamOperators, NarrowTextIsConvertedFromUtf8) {
  std::wostringstream out;
  out << std::string("gr\xc3\xbc\xc3\x9f") << " " << static_cast<const char*>(nullptr)
      << "\xc3\xa9";
  EXPECT_TRUE(out.good());
  EXPECT_EQ(out.str(), L"gr\u00fc\u00df \u00e9");
  EXPECT_TRUE(is_little_endian());
}
