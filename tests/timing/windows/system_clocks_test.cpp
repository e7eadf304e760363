// The system's clocks on Windows as the library reads them: the tick counts
// and the performance counter never run backwards, the 32-bit count is the
// low half of the 64-bit one, and the counts agree with each other about how
// much time has passed.
#include <gtest/gtest.h>
#include <krcore/timing.h>
#include <windows.h>

#include "time/clocks.h"

namespace {

const krCore::detail::clock_table& clocks() { return krCore::detail::system_clocks(); }

long long counter() {
  long long value = 0;
  EXPECT_EQ(clocks().performance_counter(&value), 0u);
  return value;
}

// Waits `ms` on an event no one signals: a pause the system times, not a
// sleep of the test's own.
void pause(DWORD ms) {
  HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::WaitForSingleObject(never, ms);
  ::CloseHandle(never);
}

}  // namespace

TEST(WindowsClocks, CountsNeverRunBackwards) {
  unsigned long long tick = clocks().tick_count64();
  long long count = counter();
  unsigned long long utc = clocks().utc_now();
  for (int i = 0; i < 100000; ++i) {
    const unsigned long long next_tick = clocks().tick_count64();
    const long long next_count = counter();
    ASSERT_GE(next_tick, tick);
    ASSERT_GE(next_count, count);
    tick = next_tick;
    count = next_count;
  }
  EXPECT_GE(clocks().utc_now(), utc);  // unless the clock is set meanwhile
}

TEST(WindowsClocks, TheShortTickCountIsTheLowHalfOfTheLongOne) {
  const unsigned long long before = clocks().tick_count64();
  const DWORD low = clocks().tick_count();
  const unsigned long long after = clocks().tick_count64();
  EXPECT_LE(static_cast<DWORD>(low - static_cast<DWORD>(before)),
            static_cast<DWORD>(after - before));
}

TEST(WindowsClocks, TickCountsAndTheCounterAgreeOnTheTimePassed) {
  long long frequency = 0;
  ASSERT_EQ(clocks().performance_frequency(&frequency), 0u);
  ASSERT_GT(frequency, 0);
  // The tick count moves in steps of up to about 16 ms.
  constexpr double kTickStepMs = 20;
  const long long c0 = counter();
  const unsigned long long t0 = clocks().tick_count64();
  pause(300);
  const unsigned long long t1 = clocks().tick_count64();
  const long long c1 = counter();
  const double counted_ms = (c1 - c0) * 1000.0 / frequency;
  EXPECT_GE(counted_ms, 250.0);
  // The counter's interval encloses the ticks' interval.
  EXPECT_LE(static_cast<double>(t1 - t0), counted_ms + kTickStepMs);

  // The provider's count is the system's.
  const unsigned long long before = clocks().tick_count64();
  const unsigned long long provided =
      krCore::singleton<krCore::TickCountProvider>::instance()->GetTickCount64();
  const unsigned long long after = clocks().tick_count64();
  EXPECT_LE(before, provided);
  EXPECT_LE(provided, after);
}

TEST(WindowsClocks, TheBestResolutionStopwatchFollowsTheCounter) {
  krCore::BestResStopwatch watch(true);
  EXPECT_TRUE(watch.IsHighResolution());
  const unsigned long long t0 = clocks().tick_count64();
  pause(200);
  const unsigned long long t1 = clocks().tick_count64();
  const double seconds = watch.Elapsed_s();
  EXPECT_GE(seconds * 1000.0 + 20.0, static_cast<double>(t1 - t0));
  EXPECT_LT(seconds, 60.0);
}
