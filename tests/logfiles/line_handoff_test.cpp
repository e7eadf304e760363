// Who writes a line: a thread that finds another one on its way through the
// logger's lock leaves its line for that one to write, and a thread logging
// from inside the logger holds the lock again. Lines must reach the file
// before log() returns whoever writes them.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "logfile_support.h"

namespace {

using namespace logfiletest;

// The UTF-16LE bytes of `text`, as the file holds them (ASCII only).
std::string utf16le(const std::string& text) {
  std::string bytes;
  for (const char c : text) bytes += {c, '\0'};
  return bytes;
}

// The last `n` bytes of the file open as `fd`.
std::string tail(int fd, std::size_t n) {
  const off_t size = ::lseek(fd, 0, SEEK_END);
  const off_t from = size > static_cast<off_t>(n) ? size - static_cast<off_t>(n) : 0;
  std::string bytes(static_cast<std::size_t>(size - from), '\0');
  const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), from);
  bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return bytes;
}

// Another thread keeps passing through the lock with lines the filters
// drop, so the logging thread often leaves its line to a thread that then
// writes nothing: the line must still be in the file when log() returns.
TEST_F(LogFileTest, ALineLeftForAThreadThatWritesNothingIsInTheFileOnReturn) {
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
  log->add_exclude_filter(L"dropped");
  const int fd = ::open(numbered(base, 1).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  std::atomic<bool> done{false};
  std::thread dropper([&] {
    while (!done.load(std::memory_order_relaxed)) log->log(L"dropped line");
  });
  int missing = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string text = "kept " + std::to_string(i);
    log->log(krCore::convertstringtowstring(text));
    if (!tail(fd, 64).ends_with(utf16le(text + "\r\n")) && ++missing == 1)
      ADD_FAILURE() << "not in the file when log() returned: " << text;
  }
  done = true;
  dropper.join();
  ::close(fd);
  EXPECT_EQ(missing, 0);
}

// The callback logs again and changes a setting from inside the logger:
// both lines land in order, the level change applies to the next line, and
// nothing waits for itself.
TEST_F(LogFileTest, ACallbackThatLogsAgainAndChangesTheLevelWritesInOrder) {
  const fs::path base = dir / "Svc";
  log->set_write_message_func([this](const wchar_t* message, logger::log_levels) {
    if (std::wstring(message) != L"outer") return;
    log->log(L"inner");
    log->set_log_levels(logger::log_verbose);
  });
  log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
  log->log(L"outer");
  log->logverbose(L"verbose after");
  const int fd = ::open(numbered(base, 1).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string end = tail(fd, 4096);
  ::close(fd);
  const std::size_t outer = end.find(utf16le("] outer\r\n"));
  const std::size_t inner = end.find(utf16le("] inner\r\n"));
  ASSERT_NE(outer, std::string::npos);
  ASSERT_NE(inner, std::string::npos);
  EXPECT_LT(outer, inner);
  EXPECT_TRUE(end.ends_with(utf16le("] verbose after\r\n")));
}

}  // namespace
