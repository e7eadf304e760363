// The event logger against a socket the test binds in place of the system
// log: the exact datagrams, the registration failures, the mirror in the
// process log, and recovery from a restarted or stuck log daemon.
#include <krcore/logging.h>
#include <unistd.h>

#include <string>

#include "logging/log_capture.h"
#include "syslog_receiver.h"

namespace {

using crashtest::split_datagram;
using krCore::EventLogger_t;
using krCore::logger;

class EventLoggerTest : public logtest::LoggerTest {
 protected:
  crashtest::temp_folder folder;
  const std::string socket_path = folder.path() + "/log.sock";
  crashtest::syslog_socket_env env{socket_path};

  // The datagram text after the timestamp that a report of `source` with
  // `message` must produce.
  static std::string tagged(const std::string& tag, const std::string& message) {
    return tag + "[" + std::to_string(::getpid()) + "]: " + message;
  }
};

TEST_F(EventLoggerTest, EachReportIsOneDatagramCarryingTheEventFields) {
  crashtest::syslog_receiver receiver(socket_path);
  EventLogger_t events(L"qm test/src \"x\"");
  struct row {
    void (EventLogger_t::*report)(const std::wstring&);
    const char* priority;  // facility daemon (3) * 8 + severity
    const char* fields;
  };
  const row rows[] = {
      {&EventLogger_t::ReportInfo, "<30>", "type=4 category=0 eventid=0x40000065"},
      {&EventLogger_t::ReportWarning, "<28>", "type=2 category=0 eventid=0x80000066"},
      {&EventLogger_t::ReportError, "<27>", "type=1 category=0 eventid=0xC0000067"},
  };
  for (const row& r : rows) {
    (events.*r.report)(L"disk \u00fc full");
    const auto d = receiver.receive();
    ASSERT_TRUE(d);
    const auto parts = split_datagram(*d);
    EXPECT_EQ(parts.priority, r.priority) << *d;
    // The tag keeps only [A-Za-z0-9._-]; the source name travels unchanged,
    // quotes escaped; the text is UTF-8.
    EXPECT_EQ(parts.rest,
              tagged("qm_test_src__x_", std::string("[source=\"qm test/src \\\"x\\\"\" ") +
                                            r.fields + "] disk \xC3\xBC full"));
  }
  // Audit failure is an error, audit success information.
  EXPECT_EQ(events.ReportEventW(L"a", 16, 7, 0x1234), 0u);
  EXPECT_EQ(split_datagram(*receiver.receive()).priority, "<27>");
  EXPECT_EQ(events.ReportEventW(L"b", 8, 0, 1), 0u);
  const auto parts = split_datagram(*receiver.receive());
  EXPECT_EQ(parts.priority, "<30>");
  EXPECT_EQ(parts.rest, tagged("qm_test_src__x_",
                               "[source=\"qm test/src \\\"x\\\"\" type=8 category=0 "
                               "eventid=0x00000001] b"));
  // An empty source name registers the application source.
  EventLogger_t().ReportInfo(L"x");
  EXPECT_EQ(
      split_datagram(*receiver.receive()).rest,
      tagged("Application", "[source=\"Application\" type=4 category=0 eventid=0x40000065] x"));
}

TEST_F(EventLoggerTest, ReportsAreMirroredInTheProcessLog) {
  crashtest::syslog_receiver receiver(socket_path);
  start(0, logger::log_verbose);
  EventLogger_t events(L"src");
  events.ReportWarning(L"low disk");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message,
            L"krCore::EventLogger_t::ReportEventW - event string [low disk], "
            L"type [2]");
  EXPECT_EQ(entries[0].level, logger::log_normal);
  EXPECT_EQ(entries[1].message,
            L"EventLogger_t::ReportEvent() - successfully wrote event log message: [low disk]");
  EXPECT_EQ(entries[1].level, logger::log_warning);
  // Audit failure and mixed types are mirrored as errors, audit success as
  // normal entries.
  EXPECT_EQ(EventLogger_t::GetLogLevel(16), logger::log_error);
  EXPECT_EQ(EventLogger_t::GetLogLevel(3), logger::log_error);
  EXPECT_EQ(EventLogger_t::GetLogLevel(8), logger::log_normal);
}

TEST_F(EventLoggerTest, RegistrationFailuresAreKeptAndReturnedByEveryReport) {
  start(0, logger::log_verbose);
  {
    // No socket at all.
    EventLogger_t events(L"src");
    EXPECT_EQ(events.ReportEventW(L"x", 4, 0, 0x40000065), 2u);
    EXPECT_EQ(events.ReportEventW(L"y", 4, 0, 0x40000065), 2u);
  }
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].message,
            L"EventLogger_t() - failed to RegisterEventSource [src], error [2]");
  EXPECT_EQ(entries[0].level, logger::log_error);

  // A socket file that nobody listens on any more: the log service is down.
  crashtest::syslog_receiver receiver(socket_path);
  receiver.close();
  EventLogger_t events(L"src");
  EXPECT_EQ(events.ReportEventW(L"x", 1, 0, 0xC0000067), 1722u);
}

TEST_F(EventLoggerTest, CopiesShareOneRegistrationThatEndsOnce) {
  crashtest::syslog_receiver receiver(socket_path);
  start(0, logger::log_verbose);
  EventLogger_t original(L"src");
  EventLogger_t copy;
  copy = original;
  EXPECT_EQ(copy.ReportEventW(L"through the copy", 4, 0, 0x40000065), 0u);
  ASSERT_TRUE(receiver.receive());
  copy.Clear();
  entries.clear();
  original.Clear();  // the registration has already ended
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message,
            L"EventLogger_t::Clear() - failed to DeregisterEventSource, error [6]");
  // A cleared registration sends nothing: the next datagram to arrive is
  // the one sent after.
  EXPECT_EQ(original.ReportEventW(L"lost", 4, 0, 0x40000065), 6u);
  EventLogger_t(L"second").ReportInfo(L"kept");
  const auto d = receiver.receive();
  ASSERT_TRUE(d);
  EXPECT_NE(d->find("second["), std::string::npos) << *d;
}

TEST_F(EventLoggerTest, AReportSurvivesARestartOfTheLogDaemon) {
  crashtest::syslog_receiver receiver(socket_path);
  EventLogger_t events(L"src");
  EXPECT_EQ(events.ReportEventW(L"before", 4, 0, 0x40000065), 0u);
  ASSERT_TRUE(receiver.receive());
  receiver.rebind();
  EXPECT_EQ(events.ReportEventW(L"after", 4, 0, 0x40000065), 0u);
  const auto d = receiver.receive();
  ASSERT_TRUE(d);
  EXPECT_NE(d->find("] after"), std::string::npos) << *d;
}

TEST_F(EventLoggerTest, AStuckLogDaemonMakesAReportFailInsteadOfHanging) {
  crashtest::syslog_receiver receiver(socket_path);  // never reads
  start(0, logger::log_error);
  EventLogger_t events(L"src");
  unsigned long error = 0;
  for (int i = 0; i < 100000 && error == 0; ++i) error = events.ReportEventW(L"x", 4, 0, 1);
  EXPECT_EQ(error, 1460u);  // time-out
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message,
            L"EventLogger_t::ReportEvent() - failed to ReportEvent [x], error "
            L"[1460]");
}

}  // namespace
