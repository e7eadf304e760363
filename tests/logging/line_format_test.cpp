// The line format: date and time in the process's time zone to the
// millisecond, PID and TID fields with their padding, the level tags.
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "logging/logline.h"
#include "time/clocks.h"

namespace {

// The calling thread's id as the system numbers it, asked of the system
// itself rather than of the library under test.
long system_thread_id() {
#if defined(_WIN32)
  return static_cast<long>(GetCurrentThreadId());
#else
  return static_cast<long>(syscall(SYS_gettid));
#endif
}

using namespace logtest;

#if !defined(_WIN32)  // the zone comes from TZ here; Windows has its own test
// A fixed zone without daylight saving, set before anything logs, so the
// expected local time is plain arithmetic.
const bool g_zoneSet = [] {
  setenv("TZ", "<+0530>-05:30", 1);
  tzset();
  return true;
}();

std::int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Parses the time stamp of a line, read as local time at `offset` seconds
// east of UTC, into milliseconds since the epoch.
std::int64_t stamp_ms(const std::wsmatch& m, long offset) {
  tm t{};
  t.tm_year = std::stoi(m[1]) - 1900;
  t.tm_mon = std::stoi(m[2]) - 1;
  t.tm_mday = std::stoi(m[3]);
  t.tm_hour = std::stoi(m[4]);
  t.tm_min = std::stoi(m[5]);
  t.tm_sec = std::stoi(m[6]);
  return (std::int64_t(timegm(&t)) - offset) * 1000 + std::stoi(m[7]);
}

const std::wregex kLine(
    LR"(^(\d{4})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2}):(\d{3}) PID: (.{4,}) TID: (.{5,}) \[INFO\] hello\r\n$)");

// Logs "hello" with the console copy on and returns the full line.
std::wstring one_line(logger* log) {
  debug_capture capture;
  testing::internal::CaptureStdout();
  log->log(logger::log_normal, L"hello");
  testing::internal::GetCapturedStdout();
  auto texts = capture.texts();
  return texts.empty() ? std::wstring() : texts.back();
}

TEST_F(LoggerTest, LineCarriesLocalTimePidTidAndTag) {
  ASSERT_TRUE(g_zoneSet);
  start(0x2, logger::log_normal);
  const std::int64_t before = now_ms();
  const std::wstring line = one_line(log);
  const std::int64_t after = now_ms();

  std::wsmatch m;
  ASSERT_TRUE(std::regex_match(line, m, kLine)) << krCore::convertwstringtostring(line);
  const std::int64_t at = stamp_ms(m, 5 * 3600 + 30 * 60);
  EXPECT_GE(at, before);
  EXPECT_LE(at, after);

  char pid[32], tid[32];
  std::snprintf(pid, sizeof pid, "%4ld", long(getpid()));
  std::snprintf(tid, sizeof tid, "%5ld", system_thread_id());
  EXPECT_EQ(m[8].str(), krCore::convertstringtowstring(pid));
  EXPECT_EQ(m[9].str(), krCore::convertstringtowstring(tid));
}

TEST_F(LoggerTest, TimeZoneChangeIsSeenFromTheNextSecond) {
  start(0x2, logger::log_normal);
  one_line(log);  // fills the per-second cache in the old zone
  setenv("TZ", "<-03>+03", 1);
  // The cache is rebuilt when the second changes; wait for that boundary.
  const time_t start_second = time(nullptr);
  while (time(nullptr) == start_second) usleep(1000);
  const std::int64_t before = now_ms();
  const std::wstring line = one_line(log);
  const std::int64_t after = now_ms();
  setenv("TZ", "<+0530>-05:30", 1);

  std::wsmatch m;
  ASSERT_TRUE(std::regex_match(line, m, kLine)) << krCore::convertwstringtostring(line);
  const std::int64_t at = stamp_ms(m, -3 * 3600);
  EXPECT_GE(at, before);
  EXPECT_LE(at, after);
}

#endif

TEST(LogLineBuilder, PadsThePidAndPicksTheHighestTag) {
  using krCore::detail::log_line_builder;
  EXPECT_TRUE(log_line_builder(612).build(L"text", 2).ends_with(L" [INFO] text\r\n"));
  EXPECT_NE(log_line_builder(612).build(L"", 2).find(L" PID:  612 TID: "), std::wstring::npos);
  // Padding is a minimum: a wide id is printed whole.
  EXPECT_NE(log_line_builder(1234567).build(L"", 1).find(L" PID: 1234567 TID: "),
            std::wstring::npos);
  // Several bits: the highest level's tag, one space on either side; no
  // bit, no tag.
  EXPECT_STREQ(log_line_builder::level_tag(1), L"[VERB]");
  EXPECT_STREQ(log_line_builder::level_tag(3), L"[INFO]");
  EXPECT_STREQ(log_line_builder::level_tag(12), L"[ERROR]");
  const std::pair<unsigned, std::wstring> tails[] = {
      {1, L" [VERB] m\r\n"}, {3, L" [INFO] m\r\n"}, {4, L" [WARN] m\r\n"},
      {12, L" [ERROR] m\r\n"}, {0, L"  m\r\n"}};
  const auto from_tid = [](const std::wstring& line) { return line.substr(line.find(L"TID: ")); };
  std::wstring tid = std::to_wstring(system_thread_id());
  tid = L"TID: " + std::wstring(tid.size() < 5 ? 5 - tid.size() : 0, L' ') + tid;
  for (const auto& [level, tail] : tails) {
    // As text, and as the file's bytes, which must say the same.
    log_line_builder builder(612);
    const std::wstring text = builder.build(L"m", level);
    EXPECT_EQ(from_tid(text), tid + tail) << level;
    std::vector<char> bytes(log_line_builder::utf16le_bound(1));
    const char* const end = builder.build_utf16le(L"m", level, bytes.data());
    std::wstring decoded;
    for (const char* p = bytes.data(); p < end; p += 2)
      decoded.push_back(static_cast<wchar_t>(static_cast<unsigned char>(p[0]) |
                                             static_cast<unsigned char>(p[1]) << 8));
    EXPECT_EQ(from_tid(decoded), tid + tail) << level;
  }
}

// The builder keeps the previous line's time text while the clock stays in
// the same millisecond; each line must still show its own moment, whichever
// way the clock moves, by a fraction of a millisecond or across a second.
std::atomic<unsigned long long> g_fakeUtc{0};

TEST(LogLineBuilder, EachLineShowsItsOwnMillisecond) {
  krCore::detail::clock_table table = krCore::detail::system_clocks();
  table.utc_now = [] { return g_fakeUtc.load(); };
  const krCore::detail::scoped_clocks fake(table);
  // 100 ns units: a whole second of 2024, then milliseconds and tenths.
  constexpr unsigned long long kSecond = 133'500'000'000'000'000ull;
  constexpr unsigned long long kMs = 10'000;
  krCore::detail::log_line_builder builder(612);
  const auto seconds_and_ms = [&](unsigned long long at) {
    g_fakeUtc = at;
    return builder.build(L"m", 2).substr(17, 6);
  };
  EXPECT_EQ(seconds_and_ms(kSecond + 5 * kMs + 2 * kMs / 10), L"00:005");
  EXPECT_EQ(seconds_and_ms(kSecond + 5 * kMs + 7 * kMs / 10), L"00:005");
  EXPECT_EQ(seconds_and_ms(kSecond + 6 * kMs + 1 * kMs / 10), L"00:006");
  // Set back by less than a millisecond, into the one before.
  EXPECT_EQ(seconds_and_ms(kSecond + 5 * kMs + 9 * kMs / 10), L"00:005");
  EXPECT_EQ(seconds_and_ms(kSecond + 999 * kMs + 5 * kMs / 10), L"00:999");
  EXPECT_EQ(seconds_and_ms(kSecond + 1000 * kMs), L"01:000");
  // Back across the second, to the same millisecond of the second before.
  EXPECT_EQ(seconds_and_ms(kSecond + 0 * kMs + 5 * kMs / 10), L"00:000");
}

}  // namespace
