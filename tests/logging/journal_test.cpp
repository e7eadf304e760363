// The journal copy (option 0x40) in the scenes a real journald cannot set
// up at a chosen moment: a journal that stops reading until the test says
// so (its queue full), and a socket nobody reads. A datagram socket of the
// test's own, at the path the library is told through
// $KRCORE_JOURNAL_SOCKET, stands in for journald there. What journald makes
// of the entries (their fields, large ones, its restart, a fork) is tested
// against journald itself in journald_test.cpp.
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <string>

#include "logging/journal_sink.h"
#include "log_capture.h"

namespace {

using krCore::logger;
using logtest::LoggerTest;

// One socket path per process (the library reads it once), set before any
// entry is logged.
const std::string& socket_path() {
  static const std::string path = "/tmp/qmcore-journal-" + std::to_string(::getpid()) + ".sock";
  return path;
}
const bool g_socket_set = (::setenv("KRCORE_JOURNAL_SOCKET", socket_path().c_str(), 1), true);

// The stand-in for journald: a bound datagram socket, read only when the
// test says.
class receiver {
 public:
  receiver() {
    ::unlink(socket_path().c_str());
    _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket_path().c_str());
    EXPECT_EQ(::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~receiver() {
    ::close(_fd);
    ::unlink(socket_path().c_str());
  }

  // Whether an entry whose MESSAGE starts with `prefix` arrives, waiting
  // at most 30 s for each entry (settings reports come too).
  bool arrives(const std::string& prefix) {
    const std::string start = "MESSAGE=" + prefix;
    for (pollfd p{_fd, POLLIN, 0}; ::poll(&p, 1, 30000) == 1;) {
      std::string data(256, '\0');
      const ssize_t n = ::recv(_fd, data.data(), data.size(), 0);
      if (n >= 0 && data.compare(0, start.size(), start) == 0) return true;
    }
    return false;
  }
  // Reads every entry that waits.
  void drain() {
    char data[256];
    while (::recv(_fd, data, sizeof data, MSG_DONTWAIT) >= 0) {
    }
  }

 private:
  int _fd = -1;
};

class JournalSink : public LoggerTest {
 protected:
  // The file (as UTF-8 text, easy to read back) and the journal.
  void start_journal(int level = 1) { log->initialize(0x61, level, 0, 0, base("journal").c_str()); }
  std::string file_text() {
    log->flush();
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
      std::ifstream in(entry.path(), std::ios::binary);
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }
};

// A journal that takes nothing (its socket missing) costs the journal's
// copies only: every line reaches the file, and one line says why. In a
// fresh process, since the line is said once per process.
TEST_F(JournalSink, MissingSocketKeepsTheFileAndSaysSoOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::unlink(socket_path().c_str());
        logtest::debug_capture said;
        start_journal();
        const std::uint64_t before = krCore::detail::journal_dropped();
        for (int i = 0; i < 5; ++i) log->log(logger::log_normal, L"jt lost copy");
        const std::string text = file_text();
        std::size_t lines = 0;
        for (std::size_t at = 0; (at = text.find("jt lost copy", at)) != std::string::npos; ++at)
          ++lines;
        int saying = 0;
        for (const std::wstring& t : said.texts())
          saying += t.find(L"does not take entries") != std::wstring::npos;
        const bool ok =
            lines == 5 && saying == 1 && krCore::detail::journal_dropped() >= before + 5;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "logger: the journal socket \\[.*\\] does not take entries");
}

// A journal that stops reading fills its socket's queue: the logger goes
// on at full speed, counting the copies it drops, and the file keeps every
// line. A logger that waited for room would never finish here.
TEST_F(JournalSink, FullSocketNeverHoldsTheLoggerUp) {
  receiver journal;  // never read
  start_journal();
  const std::uint64_t before = krCore::detail::journal_dropped();
  constexpr int kLines = 3000;
  auto done = std::async(std::launch::async, [this] {
    for (int i = 0; i < kLines; ++i) log->log(logger::log_normal, L"jt flood line");
  });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(120)), std::future_status::ready)
      << "the logger waits for the journal";
  EXPECT_GT(krCore::detail::journal_dropped(), before);
  const std::string text = file_text();
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("jt flood line", at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_EQ(lines, static_cast<std::size_t>(kLines));
  // Once the journal reads again, entries arrive again.
  journal.drain();
  log->log(logger::log_normal, L"jt after the flood");
  EXPECT_TRUE(journal.arrives("jt after"));
}

}  // namespace
