// Events reach a real system-log daemon: rsyslogd, started by the test on a
// private socket with a private configuration that writes each message's
// facility, severity, tag, pid and text to a file in the test's folder.
#include <krcore/logging.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "syslog_receiver.h"

extern char** environ;

namespace {

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Polls `done` until it holds or a generous bound passes; the daemon works
// on its own schedule and offers nothing to wait on.
template <class F>
bool eventually(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class RsyslogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kRsyslogd, X_OK) != 0) GTEST_SKIP() << "rsyslogd is not installed";
    const std::string& dir = folder.path();
    std::ofstream(dir + "/rsyslog.conf")
        << "global(workDirectory=\"" << dir << "\" maxMessageSize=\"64k\")\n"
        << "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
        << "input(type=\"imuxsock\" Socket=\"" << socket_path << "\" RateLimit.Interval=\"0\")\n"
        << "template(name=\"fields\" type=\"string\" string=\"%syslogfacility-text%|"
           "%syslogseverity-text%|%programname%|%procid%|%msg%\\n\")\n"
        << "*.* action(type=\"omfile\" file=\"" << output << "\" template=\"fields\")\n";
    const std::string conf = dir + "/rsyslog.conf";
    const char* argv[] = {kRsyslogd, "-n", "-iNONE", "-f", conf.c_str(), nullptr};
    ASSERT_EQ(
        ::posix_spawn(&daemon, kRsyslogd, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    struct stat st;
    ASSERT_TRUE(eventually([&] { return ::stat(socket_path.c_str(), &st) == 0; }))
        << "rsyslogd did not create its socket";
  }
  void TearDown() override {
    if (daemon > 0) {
      ::kill(daemon, SIGTERM);
      ::waitpid(daemon, nullptr, 0);
    }
  }

  crashtest::temp_folder folder;
  const std::string socket_path = folder.path() + "/log.sock";
  const std::string output = folder.path() + "/events.log";
  crashtest::syslog_socket_env env{socket_path};
  pid_t daemon = 0;
};

TEST_F(RsyslogTest, EveryEventArrivesWithItsFacilitySeverityTagPidAndText) {
  const struct {
    unsigned short type;
    const char* severity;
  } kinds[] = {{1, "err"}, {2, "warning"}, {4, "info"}, {16, "err"}, {8, "info"}};
  constexpr int kEvents = 1000;
  {
    krCore::EventLogger_t events(L"qmcore crash-test");
    for (int i = 0; i < kEvents; ++i)
      ASSERT_EQ(events.ReportEventW(L"event " + std::to_wstring(i) + L" \u00e9t\u00e9",
                                    kinds[i % 5].type, 3, 0xC0000067),
                0u);
  }
  std::vector<std::string> lines;
  ASSERT_TRUE(eventually([&] { return (lines = read_lines(output)).size() >= kEvents; }))
      << lines.size() << " of " << kEvents << " events arrived";
  ASSERT_EQ(lines.size(), static_cast<size_t>(kEvents));
  const std::string pid = std::to_string(::getpid());
  for (int i = 0; i < kEvents; ++i) {
    const unsigned short type = kinds[i % 5].type;
    // rsyslog keeps the blank after the tag's colon in the message.
    EXPECT_EQ(lines[i], std::string("daemon|") + kinds[i % 5].severity + "|qmcore_crash-test|" +
                            pid + "| [source=\"qmcore crash-test\" type=" + std::to_string(type) +
                            " category=3 eventid=0xC0000067] event " + std::to_string(i) +
                            " \xC3\xA9t\xC3\xA9");
  }
}

}  // namespace
