// The journal copy (option 0x40): what journald would receive on its native
// socket. No journald runs on the build machines, so a datagram socket of
// the test's own, at the path the library is told through
// $KRCORE_JOURNAL_SOCKET, stands in for it; the test parses the native
// protocol as journald does, memory files passed with SCM_RIGHTS included.
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <signal.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

using fields = std::map<std::string, std::string>;

// Parses a datagram of the native protocol; nullopt when it breaks it.
std::optional<fields> parse(const std::string& data) {
  fields out;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t end = data.find('\n', at);
    if (end == std::string::npos) return std::nullopt;
    const std::string line = data.substr(at, end - at);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) {
      out[line.substr(0, eq)] = line.substr(eq + 1);
      at = end + 1;
      continue;
    }
    // NAME\n, a 64-bit little-endian length, the value, \n.
    if (end + 1 + 8 > data.size()) return std::nullopt;
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i)
      size = size << 8 | static_cast<unsigned char>(data[end + 1 + static_cast<std::size_t>(i)]);
    const std::size_t value = end + 1 + 8;
    if (size > data.size() - value || value + size >= data.size() || data[value + size] != '\n')
      return std::nullopt;
    out[line] = data.substr(value, size);
    at = value + size + 1;
  }
  return out;
}

// The stand-in for journald: a bound datagram socket that receives the
// entries, reading a passed memory file as journald does (sealed, or
// refused).
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

  // The next entry, waiting at most 30 s for it; nullopt when none came.
  std::optional<fields> next() {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) != 1) return std::nullopt;
    const ssize_t size = ::recv(_fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    std::string data(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{data.data(), data.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(_fd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(n));
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header && header->cmsg_type == SCM_RIGHTS) {
      int memfd = -1;
      std::memcpy(&memfd, CMSG_DATA(header), sizeof memfd);
      passed_sealed = (::fcntl(memfd, F_GET_SEALS) & (F_SEAL_WRITE | F_SEAL_SHRINK)) ==
                      (F_SEAL_WRITE | F_SEAL_SHRINK);
      ++passed_files;
      EXPECT_EQ(n, 0) << "a memory file comes in an empty datagram";
      data.clear();
      char chunk[65536];
      for (ssize_t got; (got = ::pread(memfd, chunk, sizeof chunk, static_cast<off_t>(data.size()))) > 0;)
        data.append(chunk, static_cast<std::size_t>(got));
      ::close(memfd);
    }
    return parse(data);
  }

  // The next entry whose MESSAGE starts with `prefix` (settings reports
  // come too).
  std::optional<fields> next_starting(const std::string& prefix) {
    for (;;) {
      std::optional<fields> entry = next();
      if (!entry) return entry;
      if ((*entry)["MESSAGE"].rfind(prefix, 0) == 0) return entry;
    }
  }

  // Whether an entry waits to be read.
  bool pending() const {
    pollfd p{_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  // Reads every entry that waits; returns those whose MESSAGE starts with
  // `prefix`.
  int drain(const std::string& prefix) {
    int seen = 0;
    while (pending()) {
      std::optional<fields> entry = next();
      if (entry && (*entry)["MESSAGE"].rfind(prefix, 0) == 0) ++seen;
    }
    return seen;
  }
  int passed_files = 0;
  bool passed_sealed = false;

 private:
  int _fd = -1;
};

class JournalSink : public LoggerTest {
 protected:
  // The file (as UTF-8 text, easy to read back) and the journal.
  void start_journal(int level = 1) {
    log->initialize(0x61, level, 0, 0, base("journal").c_str());
  }
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

TEST_F(JournalSink, FieldsPriorityPerLevelThreadAndSource) {
  receiver journal;
  start_journal();
  log->log(logger::log_verbose, L"jt verbose");
  log->log(logger::log_normal, L"jt normal \u00e9");
  log->log(logger::log_warning, L"jt warning");
  log->log(logger::log_error, L"jt error");
  // A value of several bits counts by its highest.
  log->log(static_cast<logger::log_levels>(logger::log_error | logger::log_verbose), L"jt both");
  const unsigned line = __LINE__ + 1;
  log->log(logger::log_warning, L"jt placed", std::source_location::current());

  const std::pair<const char*, const char*> expected[] = {
      {"jt verbose", "7"}, {"jt normal \xc3\xa9", "6"}, {"jt warning", "4"},
      {"jt error", "3"},   {"jt both", "3"}};
  for (const auto& [message, priority] : expected) {
    std::optional<fields> entry = journal.next_starting("jt ");
    ASSERT_TRUE(entry) << message;
    EXPECT_EQ((*entry)["MESSAGE"], message);
    EXPECT_EQ((*entry)["PRIORITY"], priority) << message;
    EXPECT_EQ((*entry)["SYSLOG_IDENTIFIER"], program_invocation_short_name);
    EXPECT_EQ((*entry)["TID"], std::to_string(::syscall(SYS_gettid)));
    EXPECT_EQ(entry->count("CODE_FILE"), 0u) << "no source was given";
  }
  std::optional<fields> placed = journal.next_starting("jt ");
  ASSERT_TRUE(placed);
  EXPECT_EQ((*placed)["MESSAGE"], "jt placed");
  EXPECT_EQ((*placed)["CODE_FILE"], __FILE__);
  EXPECT_EQ((*placed)["CODE_LINE"], std::to_string(line));
  EXPECT_NE((*placed)["CODE_FUNC"].find("FieldsPriorityPerLevelThreadAndSource"), std::string::npos);
  // The file has every line as well.
  const std::string text = file_text();
  EXPECT_NE(text.find("[VERB] jt verbose"), std::string::npos);
  EXPECT_NE(text.find("[WARN] jt placed"), std::string::npos);
}

TEST_F(JournalSink, MessagesWithLineBreaksAndOneMebibyteArriveWhole) {
  receiver journal;
  start_journal();
  const std::wstring broken = L"jt first\nsecond=2\r\n\nPRIORITY=0\n";
  log->log(logger::log_normal, broken.c_str());
  std::optional<fields> entry = journal.next_starting("jt first");
  ASSERT_TRUE(entry);
  EXPECT_EQ((*entry)["MESSAGE"], "jt first\nsecond=2\r\n\nPRIORITY=0\n");
  EXPECT_EQ((*entry)["PRIORITY"], "6") << "a line of the message must not become a field";

  // Far beyond what one datagram takes: a sealed memory file carries it.
  std::wstring big = L"jt big ";
  for (int i = 0; big.size() < (std::size_t{1} << 20); ++i) big += L"line " + std::to_wstring(i) + L"\n";
  log->log(logger::log_error, big.c_str());
  entry = journal.next_starting("jt big");
  ASSERT_TRUE(entry);
  EXPECT_EQ((*entry)["MESSAGE"], std::string(big.begin(), big.end()));
  EXPECT_EQ((*entry)["PRIORITY"], "3");
  EXPECT_EQ(journal.passed_files, 1);
  EXPECT_TRUE(journal.passed_sealed);
}

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
        const bool ok = lines == 5 && saying == 1 && krCore::detail::journal_dropped() >= before + 5;
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
  for (std::size_t at = 0; (at = text.find("jt flood line", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, static_cast<std::size_t>(kLines));
  // Once the journal reads again, entries arrive again.
  journal.drain("");
  log->log(logger::log_normal, L"jt after the flood");
  EXPECT_TRUE(journal.next_starting("jt after"));
}

// A journald that restarts makes its socket anew: the entries after it
// reach the new one.
TEST_F(JournalSink, RestartedJournalIsFollowed) {
  start_journal();
  {
    receiver first;
    log->log(logger::log_normal, L"jt to the first");
    EXPECT_TRUE(first.next_starting("jt to the first"));
  }
  receiver second;
  log->log(logger::log_normal, L"jt to the second");
  EXPECT_TRUE(second.next_starting("jt to the second"));
}

// A child forked while other threads log goes on logging to the journal
// (no lock of the journal's is left held in it).
TEST_F(JournalSink, ForkChildLogsToTheJournal) {
  receiver journal;
  start_journal();
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) log->log(logger::log_verbose, L"jt busy");
  });
  int children_ok = 0;
  for (int i = 0; i < 20; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      log->log(logger::log_error, (L"jt child " + std::to_wstring(i)).c_str());
      ::_exit(0);
    }
    // A child left with a lock held would hang: wait a generous while.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = ::poll(&p, 1, 60000) == 1;
    ::close(pidfd);
    if (!ended) ::kill(child, SIGKILL);
    int status = 0;
    if (::waitpid(child, &status, 0) == child && ended && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0)
      ++children_ok;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(children_ok, 20);
  // Every child got its entry out (the busy thread's may be dropped when
  // the queue is full; the journal reads only now), or counted its drop.
  journal.drain("");
  log->log(logger::log_error, L"jt parent");
  EXPECT_TRUE(journal.next_starting("jt parent"));
}

}  // namespace
