// The logger's level test, outputs, setters, flat functions and behaviour
// under concurrent use.
#include <krcore/krlog.h>

#include <atomic>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>

#include "log_capture.h"

namespace {

using namespace logtest;

TEST_F(LoggerTest, LevelThresholds) {
  const auto all = {logger::log_verbose, logger::log_normal, logger::log_warning,
                    logger::log_error};
  struct row {
    int configured;
    std::vector<bool> passes;  // verbose, normal, warning, error
  } rows[] = {
      {0, {false, false, false, false}},
      {logger::log_verbose, {true, true, true, true}},
      {logger::log_normal, {false, true, true, true}},
      {logger::log_warning, {false, false, true, true}},
      {logger::log_error, {false, false, false, true}},
      {3, {true, true, true, true}},  // several bits: the lowest decides
      {12, {false, false, true, true}},
  };
  for (const row& r : rows) {
    start(0, r.configured);
    size_t i = 0, expected = 0;
    for (logger::log_levels level : all) {
      EXPECT_EQ(log->is_enabled(level), r.passes[i]) << r.configured << " " << level;
      log->log(level, L"entry");
      expected += r.passes[i++];
    }
    EXPECT_EQ(entries.size(), expected) << "configured " << r.configured;
  }

  // Entry values with several bits pass when any bit passes; values without
  // a level bit never do.
  start(0, logger::log_warning);
  EXPECT_TRUE(log->is_enabled(static_cast<logger::log_levels>(3 | 8)));
  EXPECT_FALSE(log->is_enabled(static_cast<logger::log_levels>(3)));
  EXPECT_FALSE(log->is_enabled(static_cast<logger::log_levels>(0)));
  EXPECT_FALSE(log->is_enabled(static_cast<logger::log_levels>(16)));
  log->log(static_cast<logger::log_levels>(16), L"never");
  EXPECT_TRUE(entries.empty());
}

TEST_F(LoggerTest, ConsoleCopyOnlyWithOption2AndTheCallbackGetsBareMessagesAfterIt) {
  start(0, logger::log_verbose);
  {
    debug_capture capture;
    testing::internal::CaptureStdout();
    log->log(logger::log_normal, L"callback only");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(capture.texts().empty());
    EXPECT_EQ(messages(), std::vector<std::wstring>{L"callback only"});
  }
  log->set_log_options(0x2);
  std::vector<std::wstring> order;
  debug_capture capture;
  log->set_write_message_func([&](const wchar_t* message, logger::log_levels level) {
    // The console copy of this entry is out already.
    EXPECT_FALSE(capture.texts().empty());
    order.push_back(std::to_wstring(level) + L":" + message);
  });
  stdout_capture output;
  log->log(logger::log_error, L"first");
  log->log(logger::log_verbose, "second (narrow)");
  log->log(std::wstring(L"caf\u00e9"));
  log->logverbose(std::string("fourth"));
  log->log(logger::log_normal, static_cast<const wchar_t*>(nullptr));
  const std::string out = output.take();
  EXPECT_EQ(order, (std::vector<std::wstring>{L"8:first", L"1:second (narrow)", L"2:caf\u00e9",
                                              L"1:fourth"}));
  ASSERT_EQ(capture.texts().size(), 4u);
  EXPECT_TRUE(capture.texts()[2].ends_with(L" [INFO] caf\u00e9\r\n"));
  // Standard output gets the same lines, in UTF-8, byte for byte.
  std::string expected;
  for (const std::wstring& text : capture.texts()) expected += krCore::convertwstringtostring(text);
  EXPECT_EQ(out, expected);
}

TEST_F(LoggerTest, ThrowingCallbackIsReportedAndSwallowed) {
  start(0, logger::log_normal);
  log->set_write_message_func(
      [](const wchar_t*, logger::log_levels) { throw std::runtime_error("callback broke"); });
  debug_capture capture;
  EXPECT_NO_THROW(log->log(logger::log_normal, L"x"));
  EXPECT_EQ(capture.texts(),
            std::vector<std::wstring>{
                L"Unexpected exception caught in logger::write - callback broke\r\n"});
}

TEST_F(LoggerTest, SettersRejectBadLimitsAndKeepValues) {
  // Non-positive limits given to initialize keep the defaults.
  log->initialize(0, logger::log_error, 0, -3, nullptr);
  EXPECT_EQ(log->max_filesize(), logger::DEFAULT_MAXFILESIZEMB);
  EXPECT_EQ(log->max_logfiles_per_process(), logger::DEFAULT_MAXFILESPERPROCESS);
  using testing::StrEq;
  using testing::ThrowsMessage;
  log->set_max_filesize(7);
  log->set_max_logfiles_per_process(4);
  EXPECT_THAT(
      [&] { log->set_max_filesize(0); },
      ThrowsMessage<std::invalid_argument>(StrEq("log filesize limit must be at least 1MB")));
  EXPECT_THAT([&] { log->set_max_logfiles_per_process(-1); },
              ThrowsMessage<std::invalid_argument>(StrEq("max logfiles must be at least 1")));
  EXPECT_EQ(log->max_filesize(), 7);
  EXPECT_EQ(log->max_logfiles_per_process(), 4);
  // The byte limit is 32-bit: 4096 MB and more are cut to the largest
  // limit instead of wrapping (to 0 or 904 MB).
  log->set_max_filesize(4096);
  EXPECT_EQ(log->max_filesize(), 4095);
  log->set_max_filesize(5000);
  EXPECT_EQ(log->max_filesize(), 4095);
}

TEST_F(LoggerTest, KrLogCloseThenKrLogWritesNothing) {
  start(0x2, logger::log_verbose);
  EXPECT_EQ(krLog(L"before close"), 0);
  EXPECT_EQ(messages(), std::vector<std::wstring>{L"before close"});
  EXPECT_EQ(krLogFlush(), 0);
  EXPECT_EQ(krLogClose(), 0);

  // Closed, like a logger never initialised, it writes nothing anywhere.
  debug_capture capture;
  testing::internal::CaptureStdout();
  EXPECT_EQ(krLog(L"after close"), 0);
  EXPECT_EQ(krLog(nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(capture.texts().empty());
  log = krCore::singleton<logger>::instance();
  EXPECT_FALSE(log->is_enabled());
  EXPECT_EQ(log->log_options(), 0);
  // krLogClose without a logger creates one and destroys it again.
  logger::close();
  EXPECT_EQ(krLogClose(), 0);
}

// Several threads log at a passing level while another changes settings:
// every line arrives whole and exactly once.
TEST_F(LoggerTest, ConcurrentLoggingWhileSettingsChange) {
  start(0x2, logger::log_normal);
  constexpr int kThreads = 4, kLines = 1500;
  debug_capture capture;
  stdout_capture output;
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done.load(); ++i) {
      log->set_log_levels(i % 2 ? logger::log_verbose : logger::log_normal);
      log->add_exclude_filter(L"no such text");
      log->set_log_options(i % 2 ? 0x10002 : 0x2);
      log->clear_exclude_filters();
      log->set_max_filesize(1 + i % 5);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        log->log(logger::log_warning,
                 (L"worker " + std::to_wstring(t) + L" line " + std::to_wstring(i)).c_str());
    });
  for (auto& w : workers) w.join();
  done = true;
  changer.join();
  const std::string out = output.take();

  const std::wregex line(
      LR"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3} PID: +\d+ TID: +\d+ \[WARN\] (worker \d+ line \d+)\r\n$)");
  std::set<std::wstring> seen;
  size_t reports = 0;
  for (const std::wstring& text : capture.texts()) {
    if (is_report(text)) {
      ++reports;
      continue;
    }
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << krCore::convertwstringtostring(text);
    EXPECT_TRUE(seen.insert(m[1]).second) << "twice: " << krCore::convertwstringtostring(m[1]);
  }
  EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
  EXPECT_GT(reports, 0u);
  // Standard output got the same lines, each whole, in the same order.
  std::string expected;
  for (const std::wstring& text : capture.texts()) expected += krCore::convertwstringtostring(text);
  EXPECT_EQ(out, expected);
}

}  // namespace
