// Logging at the edges of a process's life: lines logged while a thread's
// or the process's destructors run, and lines of forked children.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "foundation/in_child.h"
#include "logfile_support.h"

namespace {

using namespace logfiletest;

// Logs `text` from its destructor, which runs after the logger's own
// per-thread state of the same thread is gone when it was made first.
struct logs_when_destroyed {
  const wchar_t* text = nullptr;
  ~logs_when_destroyed() {
    if (text) krCore::singleton<logger>::instance()->log(text);
  }
};
thread_local logs_when_destroyed t_last_words;

// Runs `child` in a forked child and returns its exit status (-1 when it
// did not exit normally).
template <class Body>
int in_child(Body child) {
  const pid_t pid = ::fork();
  if (pid == 0) child();  // exits on its own
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The number after `field` in a log line ("PID: ", "TID: "), or -1.
long number_after(const std::wstring& line, const wchar_t* field) {
  const size_t at = line.find(field);
  return at == std::wstring::npos ? -1 : std::wcstol(line.c_str() + at + wcslen(field), nullptr, 10);
}

TEST_F(LogFileTest, LinesLoggedWhileThreadsAndTheProcessEndAreWritten) {
  const fs::path base = dir / "Svc";
  const int status = in_child([&] {
    log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
    std::thread([&] {
      t_last_words.text = L"worker teardown";
      log->log(L"worker running");
    }).join();
    t_last_words.text = L"main teardown";
    log->log(L"main running");
    std::atexit([] { krCore::singleton<logger>::instance()->log(L"atexit handler"); });
    std::exit(0);
  });
  ASSERT_EQ(status, 0);
  const std::vector<std::wstring> lines = all_lines(base, 1);
  for (const wchar_t* text :
       {L"worker running", L"worker teardown", L"main running", L"main teardown", L"atexit handler"}) {
    bool found = false;
    for (const std::wstring& line : lines) found = found || line.ends_with(text);
    EXPECT_TRUE(found) << "missing: " << krCore::detail::utf8_from_wide(text);
  }
}

TEST_F(LogFileTest, AForkedChildLogsItsOwnProcessAndThreadId) {
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
  log->log(L"parent before");
  pid_t child = 0;
  const int status = in_child([&] {
    log->log(L"child line");
    ::_exit(0);
  });
  ASSERT_EQ(status, 0);
  log->log(L"parent after");
  for (const std::wstring& line : all_lines(base, 1)) {
    if (line.ends_with(L"child line")) {
      child = static_cast<pid_t>(number_after(line, L"PID: "));
      EXPECT_NE(child, ::getpid());
      // The child's one thread is its main thread: its id is the child's.
      EXPECT_EQ(number_after(line, L"TID: "), child) << krCore::detail::utf8_from_wide(line);
    } else if (line.ends_with(L"parent after")) {
      EXPECT_EQ(number_after(line, L"PID: "), ::getpid());
      EXPECT_EQ(number_after(line, L"TID: "), ::gettid());
    }
  }
  EXPECT_GT(child, 0) << "the child's line is missing";
}

// Children forked while another thread writes lines without pause: that
// thread may own the file, hold the logger's lock or have its line queued
// at the fork. None of it is the child's, which logs its own line alone.
// The writer writes a burst per child, so that a slow fork (a sanitizer's
// shadow memory) cannot rotate the early children's lines out of the
// files kept.
TEST_F(LogFileTest, ChildrenForkedWhileAnotherThreadWritesLogTheirOwnLine) {
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
  constexpr int kBurst = 5000;
  std::atomic<int> left{0};  // lines of the current burst not yet written
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) {
      if (left == 0) {
        left.wait(0);
        continue;
      }
      log->log(L"parent line");
      left.fetch_sub(1);
    }
  });
  constexpr int kChildren = 20;
  int exited = 0;
  for (int i = 0; i < kChildren; ++i) {
    left = kBurst;
    left.notify_one();
    while (left == kBurst) std::this_thread::yield();  // the burst is under way
    const pid_t pid = ::fork();
    if (pid == 0) {
      log->log(L"child line");
      ::_exit(0);
    }
    if (testsupport::exit_code_within(pid, 5000) != 0) break;  // hung, or failed
    ++exited;
  }
  stop = true;
  left = 1;
  left.notify_one();
  writer.join();
  EXPECT_EQ(exited, kChildren);
  int child_lines = 0;
  for (const std::wstring& line : all_lines(base, 10)) child_lines += line.ends_with(L"child line");
  EXPECT_EQ(child_lines, exited);
}

}  // namespace
