// The journal copy (Options 0x40) as journald itself takes it: the logging
// key asks for the copy, the library sends it to journald's default socket,
// and journalctl reads the entries back.
//
// The machine's own journal, its sockets and files are never touched: the
// test runner starts each test again in a private mount namespace (this
// program with the test's filter), where the test mounts fresh tmpfs over
// /run/systemd, /run/log and /var/log/journal and starts a journald of its
// own, which makes its sockets at their default paths and keeps its
// journal in memory. The journal's bad days are made with that journald
// too: stopped, or not started yet (its socket missing), and halted with
// SIGSTOP until its queue is full. All of it ends with the namespace, whose
// processes die with the test. journald and journalctl are separate,
// uninstrumented programs, so the tests run the same under the sanitizers.
// Without the right to make a namespace, or without journald, the tests
// skip.
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <krcore/registry.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/in_child.h"
#include "log_capture.h"
#include "logging/journal_sink.h"
#include "service/notify_receiver.h"

extern char** environ;

namespace {

using krCore::logger;
using fields = std::map<std::string, std::string>;

constexpr const char* kJournald = "/lib/systemd/systemd-journald";
constexpr const char* kJournalctl = "/bin/journalctl";
constexpr const char* kPrivate[] = {"/run/systemd", "/run/log", "/var/log/journal"};
// Set for the copy of the program that runs in the namespace.
constexpr const char* kInside = "KRCORE_TEST_JOURNALD_NAMESPACE";
// The test's own files there: the settings store and the log files.
const std::string kOwn = "/run/systemd/qmcore-test";
// The exit code that says the namespace or journald could not be made.
constexpr int kCannot = 77;

bool inside() { return ::getenv(kInside) != nullptr; }

// Starts `path` with `argv` and `env`, standard output to `out` when not
// -1, and when `unshared` in a mount namespace of its own where every
// mount is private (nothing mounted there reaches the machine's), ending
// with kCannot when that cannot be made. The child dies with its starter.
pid_t start(const char* path, std::vector<char*> argv, std::vector<char*> env, int out = -1,
            bool unshared = false) {
  argv.push_back(nullptr);
  env.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (out >= 0) ::dup2(out, 1);
    if (unshared && (::unshare(CLONE_NEWNS) != 0 ||
                     ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
      ::_exit(kCannot);
    ::execve(path, argv.data(), env.data());
    ::_exit(127);
  }
  return child;
}

// Runs the current test again in a private mount namespace and takes its
// outcome.
void run_in_namespace() {
  for (const char* program : {kJournald, kJournalctl})
    if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is not installed";
  for (const char* dir : kPrivate)
    if (::access(dir, F_OK) != 0) GTEST_SKIP() << "no " << dir << " to mount a tmpfs over";
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::string self(PATH_MAX, '\0');
  self.resize(static_cast<std::size_t>(
      std::max<ssize_t>(::readlink("/proc/self/exe", self.data(), self.size()), 0)));
  std::string marker = std::string(kInside) + "=1";
  std::vector<char*> env{marker.data()};
  // The runner's own settings (its output file, its shards) are not the copy's.
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "GTEST_", 6) != 0) env.push_back(*e);
  const pid_t child = start(self.c_str(), {self.data(), filter.data()}, env, -1, true);
  const int code = testsupport::exit_code_within(child, 280000);
  if (code == kCannot)
    GTEST_SKIP() << "no private mount namespace (not root?) or no journald in it";
  EXPECT_EQ(code, 0) << "the test in the private namespace failed (its output is above)";
}

// Runs journalctl with `args` (60 s at most); its exit code and output.
std::pair<int, std::string> journalctl(std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>(kJournalctl)};
  for (std::string& arg : args) argv.push_back(arg.data());
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return {-1, ""};
  std::string quiet = "SYSTEMD_LOG_LEVEL=warning";
  const pid_t child = start(kJournalctl, argv, {quiet.data()}, pipe[1]);
  ::close(pipe[1]);
  std::string text;
  char chunk[65536];
  pollfd readable{pipe[0], POLLIN, 0};
  for (ssize_t n;
       ::poll(&readable, 1, 60000) == 1 && (n = ::read(pipe[0], chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(n));
  ::close(pipe[0]);
  return {testsupport::exit_code_within(child, 60000), text};
}

// One entry of journalctl's JSON output, each value as its bytes: a string,
// or the array of byte values journalctl gives for a value with a CR.
fields parse_json(const std::string& line) {
  boost::property_tree::ptree entry;
  std::istringstream in(line);
  boost::property_tree::read_json(in, entry);
  fields out;
  for (const auto& [name, value] : entry) {
    std::string& bytes = out[name] = value.data();
    for (const auto& item : value) bytes += static_cast<char>(std::stoi(item.second.data()));
  }
  return out;
}

class RealJournald : public ::testing::Test {
 protected:
  // In the namespace: the private mounts, journald's settings, journald,
  // and the logging key as an administrator sets it (the file and the
  // journal), read by a logger started the usual way.
  void SetUp() override {
    if (!inside()) return;
    ::unsetenv("KRCORE_JOURNAL_SOCKET");  // the default socket
    for (const char* dir : kPrivate)
      ASSERT_EQ(::mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755"), 0) << dir;
    ASSERT_EQ(::mkdir("/run/systemd/journald.conf.d", 0755), 0);
    // Nothing read from or sent to the machine's kernel log, syslog or
    // terminals, the kernel's auditing left as it is, no rate limit.
    std::ofstream("/run/systemd/journald.conf.d/qmcore-test.conf")
        << "[Journal]\nStorage=volatile\nReadKMsg=no\nAudit=\nForwardToSyslog=no\n"
           "ForwardToKMsg=no\nForwardToConsole=no\nForwardToWall=no\nRateLimitIntervalSec=0\n";
    const std::string store = kOwn + "/registry";
    ASSERT_EQ(::mkdir(kOwn.c_str(), 0755) | ::mkdir(store.c_str(), 0755), 0);
    start_journald();
    ::setenv("KRCORE_REGISTRY_ROOT", store.c_str(), 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, logger::REG_SUBKEY_KRLOGGING, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const std::pair<const wchar_t*, DWORD> values[] = {
        {L"Enable", 1}, {L"Level", 1}, {L"Options", 0x61}};  // the file as UTF-8 text
    for (const auto& [name, value] : values)
      EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                0);
    RegCloseKey(key);
    log->initialize(std::wstring(kOwn.begin(), kOwn.end()).append(L"/agent").c_str());
    ASSERT_TRUE(log->is_enabled());
  }
  void TearDown() override {
    if (!inside()) return;
    logger::close();
    stop_journald();
  }

  // Starts journald and waits (60 s at most) until it says it is ready;
  // ends this process with kCannot when it does not.
  void start_journald() {
    krtest::notify_receiver ready(true);
    std::string env[] = {std::string("NOTIFY_SOCKET=") + ::getenv("NOTIFY_SOCKET"),
                         "SYSTEMD_LOG_TARGET=console", "SYSTEMD_LOG_LEVEL=warning"};
    journald = start(kJournald, {const_cast<char*>(kJournald)},
                     {env[0].data(), env[1].data(), env[2].data()});
    if (ready.next().find("READY=1") == std::string::npos) {
      std::fprintf(stderr, "%s did not start in the namespace\n", kJournald);
      std::_Exit(kCannot);
    }
  }
  void stop_journald() {
    if (journald <= 0) return;
    ::kill(journald, SIGTERM);
    EXPECT_EQ(testsupport::exit_code_within(journald, 60000), 0) << "journald's exit";
    journald = 0;
  }

  // The entries of process `pid` (that match `also`, when given) that the
  // test logged, keyed by the word after "jd ", once journald has stored
  // all it was sent: its sync answers after it has read every entry that
  // waits in its socket.
  std::map<std::string, fields> entries(pid_t pid, const std::string& also = "") {
    std::map<std::string, fields> out;
    EXPECT_EQ(journalctl({"--sync"}).first, 0);
    std::vector<std::string> args{"--all", "-o", "json", "_PID=" + std::to_string(pid)};
    if (!also.empty()) args.push_back(also);
    const auto [code, json] = journalctl(args);
    EXPECT_EQ(code, 0);
    for (std::size_t at = 0, end; (end = json.find('\n', at)) != std::string::npos; at = end + 1) {
      fields entry = parse_json(json.substr(at, end - at));
      const std::string& message = entry["MESSAGE"];
      if (message.rfind("jd ", 0) == 0)
        out[message.substr(3, message.find_first_of(" \n", 3) - 3)] = entry;
    }
    return out;
  }

  // How many lines of the log file hold `text`.
  std::size_t in_file(const std::string& text) {
    log->flush();
    std::size_t count = 0;
    for (const auto& file : std::filesystem::directory_iterator(kOwn)) {
      if (!file.is_regular_file()) continue;
      std::ifstream in(file.path(), std::ios::binary);
      const std::string lines{std::istreambuf_iterator<char>(in), {}};
      for (std::size_t at = 0; (at = lines.find(text, at)) != std::string::npos; ++at) ++count;
    }
    return count;
  }
  // How many of the lines `said` recorded say that the journal's copies
  // are lost.
  static int drops_said(const logtest::debug_capture& said) {
    const std::vector<std::wstring> texts = said.texts();
    return static_cast<int>(std::count_if(texts.begin(), texts.end(), [](const std::wstring& t) {
      return t.find(L"does not take entries") != std::wstring::npos;
    }));
  }

  logger* const log = krCore::singleton<logger>::instance();
  pid_t journald = 0;
};

// What a reader of the journal relies on, entry by entry: the text exactly
// (non-ASCII, line breaks, a line that looks like a field), the priority
// of each level, the program's name, the logging thread, and the source
// place when the caller gave one. The agent's service runs under an
// account of its own: an entry too large for a datagram, logged there,
// arrives whole too (journald reads its memory file only when sealed).
TEST_F(RealJournald, EntriesArriveWithTheirFields) {
  if (!inside()) return run_in_namespace();
  log->log(logger::log_verbose, L"jd verbose");
  log->log(logger::log_normal, L"jd normal \u00e9t\u00e9 \u4e2d");
  log->log(logger::log_warning, L"jd warning");
  log->log(logger::log_error, L"jd error");
  log->log(logger::log_normal, L"jd lines\nsecond=2\r\n\nPRIORITY=0\n");
  const unsigned line = __LINE__ + 1;
  log->log(logger::log_warning, L"jd placed", std::source_location::current());
  long other = 0;
  std::thread([&] {
    other = ::syscall(SYS_gettid);
    log->log(logger::log_normal, L"jd thread");
  }).join();
  std::wstring big = L"jd big\n";
  for (int i = 0; big.size() < (std::size_t{1} << 20); ++i)
    big += L"line " + std::to_wstring(i) + L"\n";
  const pid_t account = ::fork();
  if (account == 0) {
    const bool changed = ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                         ::setresuid(65534, 65534, 65534) == 0;
    if (changed && ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0)
      log->log(logger::log_error, big.c_str());
    ::_exit(changed ? 0 : 1);
  }
  ASSERT_EQ(testsupport::exit_code_within(account, 120000), 0) << "logging as uid 65534";

  const std::map<std::string, fields> got = entries(::getpid());
  const struct {
    const char* word;
    std::string message;
    const char* priority;
  } expected[] = {{"verbose", "jd verbose", "7"},
                  {"normal", "jd normal \xc3\xa9t\xc3\xa9 \xe4\xb8\xad", "6"},
                  {"warning", "jd warning", "4"},
                  {"error", "jd error", "3"},
                  {"lines", "jd lines\nsecond=2\r\n\nPRIORITY=0\n", "6"},
                  {"placed", "jd placed", "4"},
                  {"thread", "jd thread", "6"}};
  for (const auto& e : expected) {
    ASSERT_EQ(got.count(e.word), 1u) << e.word;
    fields entry = got.at(e.word);
    EXPECT_EQ(entry["MESSAGE"], e.message);
    EXPECT_EQ(entry["PRIORITY"], e.priority) << e.word;
    EXPECT_EQ(entry["SYSLOG_IDENTIFIER"], program_invocation_short_name) << e.word;
    EXPECT_EQ(entry["TID"],
              std::to_string(e.message == "jd thread" ? other : ::syscall(SYS_gettid)));
    EXPECT_EQ(entry.count("CODE_FILE"), e.message == "jd placed" ? 1u : 0u) << e.word;
  }
  fields placed = got.at("placed");
  EXPECT_EQ(placed["CODE_FILE"], __FILE__);
  EXPECT_EQ(placed["CODE_LINE"], std::to_string(line));
  EXPECT_NE(placed["CODE_FUNC"].find("EntriesArriveWithTheirFields"), std::string::npos);

  std::map<std::string, fields> logged_as = entries(account);
  ASSERT_EQ(logged_as.count("big"), 1u) << "the large entry logged as uid 65534";
  fields& from_account = logged_as["big"];
  EXPECT_TRUE(from_account["MESSAGE"] == std::string(big.begin(), big.end()))
      << from_account["MESSAGE"].size() << " bytes arrived";
  EXPECT_EQ(from_account["PRIORITY"], "3");
  EXPECT_EQ(from_account["_UID"], "65534");
}

// A journald stopped while the agent runs, or not started yet (its socket
// missing), costs the journal's copies only: every line reaches the file,
// the drops are counted, and one line (on standard error and the debugger
// output) says so. journald started again makes its socket anew, and the
// lines after it reach it.
TEST_F(RealJournald, MissingJournaldKeepsTheFileAndSaysSoOnce) {
  if (!inside()) return run_in_namespace();
  logtest::debug_capture said;
  log->log(logger::log_normal, L"jd before");
  stop_journald();
  ::unlink("/run/systemd/journal/socket");  // as before journald first starts
  const std::uint64_t dropped = krCore::detail::journal_dropped();
  for (int i = 0; i < 5; ++i) log->log(logger::log_normal, L"jd down");
  EXPECT_EQ(krCore::detail::journal_dropped(), dropped + 5);
  EXPECT_EQ(in_file("jd down"), 5u);
  start_journald();
  log->log(logger::log_normal, L"jd after");
  log->log(logger::log_warning, L"jd later");
  const std::map<std::string, fields> got = entries(::getpid());
  for (const char* word : {"before", "after", "later"}) EXPECT_EQ(got.count(word), 1u) << word;
  EXPECT_EQ(got.count("down"), 0u);
  EXPECT_EQ(drops_said(said), 1);
}

// A journald that stops reading (halted here) fills its socket's queue:
// the logger goes on at full speed, dropping and counting the copies that
// find no room, saying so once, and the file keeps every line. A logger
// that waited for room would never end the burst. Once journald has read
// its queue, the next entry arrives.
TEST_F(RealJournald, FullSocketNeverHoldsTheLoggerUp) {
  if (!inside()) return run_in_namespace();
  logtest::debug_capture said;
  const std::uint64_t dropped = krCore::detail::journal_dropped();
  ASSERT_EQ(::kill(journald, SIGSTOP), 0);
  siginfo_t halted{};  // SIGSTOP cannot be caught: it stops or has ended
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(journald), &halted, WSTOPPED | WEXITED | WNOWAIT), 0);
  ASSERT_EQ(halted.si_code, CLD_STOPPED);
  constexpr int kLines = 3000;  // the queue holds net.unix.max_dgram_qlen (10 by default)
  auto burst = std::async(std::launch::async, [this] {
    for (int i = 0; i < kLines; ++i) log->log(logger::log_normal, L"jd burst");
  });
  const bool ended = burst.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
  ::kill(journald, SIGCONT);  // also frees a logger that waits for room
  ASSERT_TRUE(ended) << "the logger waits for the journal";
  EXPECT_GT(krCore::detail::journal_dropped(), dropped);
  EXPECT_EQ(drops_said(said), 1);
  EXPECT_EQ(in_file("jd burst"), static_cast<std::size_t>(kLines));
  EXPECT_EQ(journalctl({"--sync"}).first, 0);
  log->log(logger::log_normal, L"jd after");
  EXPECT_EQ(entries(::getpid(), "MESSAGE=jd after").count("after"), 1u);
}

// Children forked while another thread logs without pause go on logging
// (no lock of the journal's is left held in them; one would hang), and so
// does the parent. Their entries may meet a full queue and be dropped;
// once journald has read all it was sent, the parent's next one arrives.
TEST_F(RealJournald, ForkedChildrenAndTheParentGoOnLogging) {
  if (!inside()) return run_in_namespace();
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) log->log(logger::log_verbose, L"jd busy");
  });
  int ended = 0;  // children that ended by themselves in time
  for (; ended < 20; ++ended) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      log->log(logger::log_error, L"jd child");
      ::_exit(0);
    }
    if (testsupport::exit_code_within(child, 60000) != 0) break;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(ended, 20) << "a child hung (a lock left held in it) or failed";
  EXPECT_EQ(journalctl({"--sync"}).first, 0);
  log->log(logger::log_error, L"jd parent");
  EXPECT_EQ(entries(::getpid(), "MESSAGE=jd parent").count("parent"), 1u);
}

}  // namespace
