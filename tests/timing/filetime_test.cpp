// Conversions between broken-down times and FILETIME values, and the UTC
// clock they are read from.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "fake_clocks.h"
#include "time/filetime.h"

using namespace krCore::detail;

namespace {

SYSTEMTIME make_time(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
  return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

// "yyyy-mm-dd wd hh:mm:ss.mmm", wd the day of the week (0 = Sunday).
std::string text(const SYSTEMTIME& st) {
  char out[64];
  std::snprintf(out, sizeof out, "%04u-%02u-%02u w%u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
                st.wDay, st.wDayOfWeek, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return out;
}

unsigned long long to_value(const SYSTEMTIME& st) {
  FILETIME ft{};
  EXPECT_EQ(system_time_to_file_time(st, ft), 0u);
  return file_time_value(ft);
}

TEST(FileTime, KnownMoments) {
  EXPECT_EQ(to_value(make_time(1601, 1, 1)), 0u);
  EXPECT_EQ(to_value(make_time(1970, 1, 1)), 116'444'736'000'000'000ull);
  EXPECT_EQ(to_value(make_time(2000, 2, 29, 12, 34, 56, 789)), 125'963'012'967'890'000ull);
  EXPECT_EQ(to_value(make_time(9999, 12, 31, 23, 59, 59, 999)), 2'650'467'743'999'990'000ull);

  SYSTEMTIME st{};
  ASSERT_EQ(file_time_to_system_time(make_file_time(125'963'012'967'890'000ull + 9'999), st), 0u);
  EXPECT_EQ(text(st), "2000-02-29 w2 12:34:56.789");  // sub-millisecond part dropped
}

// Every day from 1601 to 2404 converts both ways, the calendar advancing one
// day and one weekday at a time (this covers every leap-year rule).
TEST(FileTime, EveryDayRoundTripsAndAdvancesByOneDay) {
  constexpr unsigned long long kDay = 86'400ull * 10'000'000;
  SYSTEMTIME previous{};
  ASSERT_EQ(file_time_to_system_time(make_file_time(0), previous), 0u);
  EXPECT_EQ(previous.wDayOfWeek, 1);  // 1601-01-01 was a Monday
  for (unsigned long long day = 1; day < 293'000; ++day) {
    SYSTEMTIME st{};
    const unsigned long long value = day * kDay + 3'723'004 * 10'000ull;  // 01:02:03.004
    ASSERT_EQ(file_time_to_system_time(make_file_time(value), st), 0u);
    ASSERT_EQ(to_value(st), value);
    const bool next_in_month = st.wDay == previous.wDay + 1 && st.wMonth == previous.wMonth;
    const bool next_month = st.wDay == 1 && (st.wMonth == previous.wMonth % 12 + 1);
    ASSERT_TRUE(next_in_month || next_month) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    ASSERT_EQ(st.wDayOfWeek, (previous.wDayOfWeek + 1) % 7);
    ASSERT_EQ(st.wYear, previous.wYear + (st.wMonth == 1 && st.wDay == 1 ? 1 : 0));
    previous = st;
  }
}

TEST(FileTime, InvalidFieldsAreRejectedWith87) {
  const SYSTEMTIME invalid[] = {
      make_time(1600, 12, 31),         make_time(30828, 1, 1),
      make_time(2023, 0, 1),           make_time(2023, 13, 1),
      make_time(2023, 2, 29),          make_time(1900, 2, 29),
      make_time(2023, 4, 31),          make_time(2023, 1, 0),
      make_time(2023, 1, 1, 24),       make_time(2023, 1, 1, 0, 60),
      make_time(2023, 1, 1, 0, 0, 60), make_time(2023, 1, 1, 0, 0, 0, 1000),
  };
  for (const SYSTEMTIME& st : invalid) {
    FILETIME ft{1, 2};
    EXPECT_EQ(system_time_to_file_time(st, ft), 87u)
        << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ(file_time_value(ft), (2ull << 32) | 1);  // untouched
  }
  // The last valid moment, and the first value that cannot be broken down.
  EXPECT_EQ(to_value(make_time(30827, 12, 31, 23, 59, 59, 999)), 0x7FFF'35F4'F06C'58F0ull);

  SYSTEMTIME st{};
  EXPECT_EQ(file_time_to_system_time(make_file_time(1ull << 63), st), 87u);
}

// The zone comes from TZ on Linux; Windows keeps its zone in the system's
// settings, which a test must not change.
#if !defined(_WIN32)
using LocalTime = timing_test::FakeClockTest;

// The local time is the UTC clock shifted by the zone in TZ, at millisecond
// precision.
TEST_F(LocalTime, IsTheUtcClockInTheProcesssZone) {
  timing_test::fake_clocks::utc = 125'963'012'967'890'000ull + 1234;  // 2000-02-29 12:34:56.789
  const char* saved = getenv("TZ");
  const std::string previous = saved ? saved : "";
  setenv("TZ", "EST5", 1);  // five hours behind UTC, no daylight saving
  tzset();
  SYSTEMTIME st{};
  get_local_time(st);
  saved ? setenv("TZ", previous.c_str(), 1) : unsetenv("TZ");
  tzset();
  EXPECT_EQ(text(st), "2000-02-29 w2 07:34:56.789");
}
#endif

TEST(FileTime, RealUtcClockIsTheUnixTimeShifted) {
  const unsigned long long before = static_cast<unsigned long long>(time(nullptr));
  const unsigned long long now = system_clocks().utc_now();
  const unsigned long long after = static_cast<unsigned long long>(time(nullptr));
  const unsigned long long seconds = (now - kFileTimeUnixEpoch) / 10'000'000;
  EXPECT_LE(before, seconds);
  EXPECT_LE(seconds, after);
}

}  // namespace
