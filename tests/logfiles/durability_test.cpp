// A line is in the kernel's hands before log() returns: a child process
// that reports each line on a pipe after log() returned is killed with
// SIGKILL mid-run, and every line it reported is in its files.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "logfile_support.h"
#include "logging/debug_output.h"

namespace {

using namespace logfiletest;

// The child: two threads log numbered lines and report each number once
// log() has returned; never returns.
[[noreturn]] void run_child(const fs::path& base, int report_fd) {
  logger::close();
  logger* child = krCore::singleton<logger>::instance();
  child->initialize(0x1, logger::log_normal, 1, 50, base.wstring().c_str());
  const std::wstring padding(100, L'p');
  auto body = [&](int first) {
    for (int i = first;; i += 2) {
      child->log(L"N" + std::to_wstring(i) + L" " + padding);
      if (::write(report_fd, &i, sizeof i) != sizeof i) ::_exit(3);
    }
  };
  std::thread other(body, 1);
  body(0);
  ::_exit(0);
}

TEST_F(LogFileTest, EveryLineReportedBeforeSigkillIsInTheFiles) {
  const fs::path base = dir / "Svc";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    run_child(base, fds[1]);
  }
  ::close(fds[1]);

  // Kill it in the middle of its work: after 8000 reported lines (about
  // 2.7 MB, past two rotations). Each report is one atomic pipe write, so
  // the pipe only ever holds whole numbers.
  std::set<int> reported;
  bool killed = false;
  for (int value; ::read(fds[0], &value, sizeof value) == sizeof value;) {
    reported.insert(value);
    if (!killed && reported.size() >= 8000) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  std::set<int> logged;
  for (const std::wstring& line : all_lines(base, 50)) {
    const size_t at = line.find(L"[INFO] N");
    ASSERT_NE(at, std::wstring::npos) << "torn line";
    logged.insert(std::stoi(line.substr(at + 8)));
  }
  ASSERT_GE(reported.size(), 8000u);
  size_t missing = 0;
  for (int value : reported) missing += logged.count(value) == 0;
  EXPECT_EQ(missing, 0u) << "of " << reported.size() << " reported lines";
}

TEST_F(LogFileTest, ALineTheKernelTakesOnlyPartOfIsReportedNotCountedAsWritten) {
  // A child whose file may grow by only part of its next line: the kernel
  // writes that part and refuses the rest. The logger must try the rest
  // (and so learn of the refusal) and report it, never throw, and the
  // part must be cut back off: the file holds the lines before it only.
  const fs::path base = dir / "Cut";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    logger::close();
    logger* child = krCore::singleton<logger>::instance();
    child->initialize(0x1, logger::log_normal, 1, 50, base.wstring().c_str());
    child->log(L"first");
    std::error_code error;
    const auto size = fs::file_size(numbered(base, 1), error);
    if (error) ::_exit(2);
    (void)::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{size + 50, size + 50};  // 25 characters of the next line
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
    std::atomic<int> reports{0};
    krCore::detail::set_debug_output_hook([&reports](const std::wstring& text) {
      if (text.find(L"logger::write") != std::wstring::npos) ++reports;
    });
    try {
      child->log(L"second " + std::wstring(100, L'x'));
    } catch (...) {
      ::_exit(4);
    }
    krCore::detail::set_debug_output_hook({});
    if (reports == 0) ::_exit(5);
    if (fs::file_size(numbered(base, 1), error) != size || error) ::_exit(6);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
