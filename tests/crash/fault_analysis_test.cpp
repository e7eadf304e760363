// Exception analysis of real hardware faults: a read access violation is
// logged as a warning (what it records is read_violation_test.cpp's part,
// shared with Windows), another fault kind is logged by its
// continuability, a non-continuable one reaches the event log, and a write
// access violation reports to the event log and ends the process with
// status 5.
#include <fcntl.h>
#include <krcore/diagnostics.h>
#include <krcore/logging.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "faults/fault_generators.h"
#include "logging/log_capture.h"
#include "syslog_receiver.h"

namespace {

using krCore::logger;
using krCore::se_exception_initializer;

constexpr long code32(unsigned int code) { return static_cast<int>(code); }

// The entries logged at `level`.
std::vector<std::wstring> at_level(const std::vector<logtest::entry>& entries,
                                   logger::log_levels level) {
  std::vector<std::wstring> out;
  for (const auto& e : entries)
    if (e.level == level) out.push_back(e.message);
  return out;
}

class FaultAnalysisTest : public logtest::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    start(0, logger::log_verbose);
  }
  crashtest::temp_folder folder;
  const std::string socket_path = folder.path() + "/log.sock";
  crashtest::syslog_socket_env env{socket_path};
  crashtest::syslog_receiver receiver{socket_path};
};

// What is recorded is read_violation_test.cpp's part; here, how it is logged.
TEST_F(FaultAnalysisTest, AReadAccessViolationIsLoggedAsAWarningOnly) {
  se_exception_initializer guard;
  faultgen::read_null_twice_analysed(guard);
  ASSERT_EQ(guard.info_count(), 2u);
  const auto recorded = guard.info()[0];
  const auto warnings = at_level(entries, logger::log_warning);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0], recorded.context());
  EXPECT_TRUE(at_level(entries, logger::log_error).empty());
  // A continuable read fault is not reported to the event log: the first
  // datagram to arrive is the marker sent after it.
  krCore::EventLogger_t(L"marker").ReportInfo(L"marker");
  const auto d = receiver.receive();
  EXPECT_TRUE(d && d->find("marker[") != std::string::npos);
}

TEST_F(FaultAnalysisTest, OtherFaultsAreLoggedByTheirContinuability) {
  se_exception_initializer guard;
  try {
    faultgen::divide(1, 0);
  } catch (...) {
    guard.Analyze("work.cpp", 9);
  }
  ASSERT_EQ(guard.info_count(), 1u);
  EXPECT_EQ(guard.get_hresult(0), code32(0xC0000094));
  const std::wstring context = guard.info()[0].context();
  EXPECT_EQ(
      context.rfind(L"se_translator::exception caught: Type: Integer Divide by Zero at 0x", 0), 0u)
      << context;
  EXPECT_NE(context.find(L", File: work.cpp, Line: 9\r\nDescription: [The thread attempted to "
                         L"divide an integer value by an integer divisor of zero], Flags: [0x0], "
                         L"Code: [0xc0000094], Stack trace : \r\n"),
            std::wstring::npos)
      << context;
  const auto warnings = at_level(entries, logger::log_warning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], context);
}

// Linux never reports a fault as non-continuable, so the record is made by
// hand here; everything after the throw is the real path.
class noncontinuable_fault : public se_translator::exception {
 public:
  explicit noncontinuable_fault(EXCEPTION_POINTERS* p) : se_translator::exception(p) {}
};

TEST_F(FaultAnalysisTest, ANonContinuableFaultIsReportedToTheEventLogAndTheThreadGoesOn) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xC0000096;
  record.ExceptionFlags = 1;
  record.ExceptionAddress = reinterpret_cast<void*>(0x1234);
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  se_exception_initializer guard;
  try {
    throw noncontinuable_fault(&pointers);
  } catch (...) {
    guard.Analyze("work.cpp", 3);
  }
  ASSERT_EQ(guard.info_count(), 1u);
  const std::wstring text = guard.info()[0].context();
  EXPECT_EQ(text.rfind(L"se_translator::exception caught: Type: Privileged Instruction at "
                       L"0x0000000000001234, File: work.cpp, Line: 3\r\n",
                       0),
            0u)
      << text;
  // The analysis's entry, then the event logger's note of the error event.
  const auto errors = at_level(entries, logger::log_error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], text);
  EXPECT_EQ(errors[1].rfind(L"EventLogger_t::ReportEvent() - successfully wrote event log message: "
                            L"[Non-continuable exception flag was set",
                            0),
            0u);
  const auto d = receiver.receive();
  ASSERT_TRUE(d);
  const auto parts = crashtest::split_datagram(*d);
  EXPECT_EQ(parts.priority, "<27>");
  EXPECT_EQ(parts.rest, "Vantrel_Agent[" + std::to_string(::getpid()) +
                            "]: [source=\"Vantrel Agent\" type=1 category=0 eventid=0xC0000067] "
                            "Non-continuable exception flag was set, process might be "
                            "terminated! " +
                            krCore::convertwstringtostring(text));
}

TEST_F(FaultAnalysisTest, AWriteAccessViolationReportsAndEndsTheProcessWithStatus5) {
  // The child is forked: it inherits the receiver's socket path and reports
  // there; its error entries go straight to a file.
  const std::string errorlog = folder.path() + "/errors.txt";
  EXPECT_EXIT(
      {
        const int fd = ::open(errorlog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        log->set_write_message_func([fd](const wchar_t* message, logger::log_levels level) {
          if (level != logger::log_error) return;
          const std::string text = krCore::convertwstringtostring(message) + "\n";
          if (::write(fd, text.data(), text.size()) < 0) std::abort();
        });
        se_exception_initializer guard;
        try {
          faultgen::write_at(reinterpret_cast<void*>(0x10));
        } catch (...) {
          guard.Analyze("work.cpp", 11);
        }
        std::exit(0);  // not reached
      },
      ::testing::ExitedWithCode(5), "");
  const auto d = receiver.receive();
  ASSERT_TRUE(d);
  const auto parts = crashtest::split_datagram(*d);
  EXPECT_EQ(parts.priority, "<27>");
  const std::string report =
      "[source=\"Vantrel Agent\" type=1 category=0 eventid=0xC0000067] Non-continuable "
      "exception [chose not to continue], process will be terminated! Access Violation at 0x";
  EXPECT_NE(parts.rest.find("]: " + report), std::string::npos) << *d;
  EXPECT_NE(parts.rest.find(", thread attempts to write at 0x10, Flags: [0x0], Code: "
                            "[0xc0000005]\r\nFile: work.cpp, Line: 11, Stack trace : \r\n"),
            std::string::npos)
      << *d;
  // The error entry was logged before the process ended.
  std::ifstream in(errorlog);
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(logged.rfind("Access Violation at 0x", 0), 0u) << logged;
  EXPECT_NE(logged.find("thread attempts to write at 0x10"), std::string::npos);
}

}  // namespace
