// Exception analysis of thrown objects: the code, context and message each
// kind of exception is recorded with and the level it is logged at, the
// entry list and its texts, and thread cancellation passing through.
#include <krcore/diagnostics.h>
#include <krcore/logging.h>
#include <pthread.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "logging/log_capture.h"

namespace {

using krCore::logger;
using krCore::se_exception_initializer;
using info = se_exception_initializer::se_exception_info;

// Codes are kept in a long sign-extended, as the library's HRESULTs are.
constexpr long code32(unsigned int code) { return static_cast<int>(code); }

class AnalysisTest : public logtest::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    start(0, logger::log_verbose);
  }
  // Throws what `thrower` throws and analyses it in a catch-all.
  void analyze(const std::function<void()>& thrower) {
    try {
      thrower();
    } catch (...) {
      guard.Analyze("work.cpp", 7);
    }
  }
  se_exception_initializer guard;
};

TEST_F(AnalysisTest, EachKindOfExceptionIsRecordedWithItsCodeTextsAndLevel) {
  const std::wstring access_denied = krCore::geterrormessage(5);
  const struct {
    const char* what;
    std::function<void()> thrower;
    long code;
    std::wstring context;
    std::wstring message;  // empty: the same as the context
  } rows[] = {
      {"HRESULT as long", [] { throw static_cast<long>(code32(0x80070005)); }, code32(0x80070005),
       L"HRESULT caught: Error Code: 0x80070005, File: work.cpp, Line: 7, Message: [" +
           access_denied + L"]",
       krCore::geterrormessage(0x80070005)},
      {"HRESULT as positive long", [] { throw 0x80070005L; }, code32(0x80070005),
       L"HRESULT caught: Error Code: 0x80070005, File: work.cpp, Line: 7, Message: [" +
           access_denied + L"]",
       krCore::geterrormessage(0x80070005)},
      {"krException", [] { throw krException(5ul, "bad thing", 4); }, 5,
       L"krException caught: [bad thing], File: work.cpp, Line: 7", L"bad thing"},
      {"record-less se_translator::exception", [] { throw se_translator::exception("x"); },
       code32(0xC000000D),
       L"se_translator::exception caught: Type: SEH:Unknown:excode=[3221225485,0xc000000d], "
       L"File: work.cpp, Line: 7\r\nDescription: [Unknown SEH Exception]",
       L""},
      {"w32_exception", [] { throw w32_exception(5ul); }, 5,
       L"w32_exception caught: Error [5L], " + access_denied, access_denied},
      {"std::runtime_error", [] { throw std::runtime_error("boom"); }, code32(0x800300FD),
       L"std::exception caught: Description: [boom], File: work.cpp, Line: 7", L"boom"},
      {"_com_error", [] { throw _com_error(code32(0x80004003), L"no object"); }, code32(0x80004003),
       L"_com_error exception caught: Error Code: 0x80004003, File: work.cpp, Line: 7, "
       L"Message: [no object]",
       L"no object"},
      {"anything else", [] { throw 42; }, code32(0x800300FD),
       L"Unknown exception caught! File: work.cpp, Line: 7", L""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    guard.clear();
    entries.clear();
    analyze(row.thrower);
    ASSERT_EQ(guard.info_count(), 1u);
    const info recorded = guard.info()[0];
    EXPECT_EQ(recorded.code(), row.code);
    EXPECT_EQ(guard.get_hresult(0), row.code);
    EXPECT_EQ(recorded.context(), row.context);
    EXPECT_EQ(recorded.message(), row.message.empty() ? row.context : row.message);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, row.context);
    EXPECT_EQ(entries[0].level, logger::log_verbose);
  }
}

TEST_F(AnalysisTest, EntriesReadBackAsCodesAndOneText) {
  EXPECT_EQ(guard.get_hresult(0), 0);
  EXPECT_EQ(guard.infostring(), L"");
  guard.add(info(0, L"ctx1", L""));
  EXPECT_EQ(guard.infostring(), L"ctx1");
  // Code 0 is never stored; an empty message takes the system text.
  EXPECT_EQ(guard.get_hresult(0), code32(0x80004005));
  EXPECT_EQ(guard.info()[0].message(), krCore::geterrormessage(0x80004005));
  guard.add(info(5, L"ctx2", L"m2"));
  guard.add(info(code32(0x8007000E), L"ctx3", L"m3"));
  EXPECT_EQ(guard.infostring(), L"\r\nctx1\r\n-->\tctx2\r\n-->\tctx3");
  EXPECT_EQ(guard.get_hresult(2), code32(0x8007000E));
  EXPECT_EQ(guard.get_hresult(3), 1413);
  EXPECT_TRUE(entries.empty());  // add() without logging

  se_exception_initializer copy(guard);
  guard.clear();
  EXPECT_EQ(guard.info_count(), 0u);
  EXPECT_EQ(copy.info_count(), 3u);
}

TEST_F(AnalysisTest, AddedInformationIsLoggedWithTheSystemTextAsMessage) {
  krCore::Add_se_exception_info(guard, 5, L"copying the file", L"");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, logger::log_normal);
  EXPECT_EQ(entries[0].message,
            L"Exception - error code [0x5], context [copying the file], message" +
                krCore::geterrormessage(5));
  krCore::Add_se_exception_info(guard, 0x80070005, L"c", L"m");
  EXPECT_EQ(entries[1].message, L"Exception - error code [0x80070005], context [c], messagem");
  EXPECT_EQ(guard.get_hresult(1), code32(0x80070005));
}

// A thread cancelled inside a guarded block must end cancelled: the analysis
// lets the cancellation's unwinding through instead of recording it.
TEST(AnalysisCancellation, ThreadCancellationUnwindsThroughAnalyze) {
  struct state {
    int pipe[2];
    bool analysed = false;
    bool went_on = false;
  } s;
  ASSERT_EQ(::pipe(s.pipe), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* s = static_cast<state*>(arg);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    se_exception_initializer guard;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    try {
      char c;
      while (::read(s->pipe[0], &c, 1) != 0) {  // a cancellation point
      }
    } catch (...) {
      s->analysed = true;
      guard.Analyze("work.cpp", 1);
    }
    s->went_on = true;
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, body, &s), 0);
  pthread_cancel(thread);
  void* result = nullptr;
  pthread_join(thread, &result);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_TRUE(s.analysed);
  EXPECT_FALSE(s.went_on);
  ::close(s.pipe[0]);
  ::close(s.pipe[1]);
}

}  // namespace
