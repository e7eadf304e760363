// Countdown totals and the time left with its floor, on fake clocks so that
// the time left is exact.
#include <gtest/gtest.h>
#include <krcore/timing.h>

#include "fake_clocks.h"

using krCore::CountdownTimer_t;
using timing_test::fake_clocks;
using timing_test::FakeClockTest;

namespace {

TEST_F(FakeClockTest, TotalsFromMillisecondsSecondsAndInfinite) {
  EXPECT_EQ(CountdownTimer_t::Infinite_s(), 316'224'000.0);
  EXPECT_EQ(CountdownTimer_t(1500ul).Left_s(0.0), 1.5);
  EXPECT_EQ(CountdownTimer_t(1500).Left_s(0.0), 1.5);
  EXPECT_EQ(CountdownTimer_t(2.25).Left_s(0.0), 2.25);

  const CountdownTimer_t infinite(INFINITE);  // all ones in 32 bits
  EXPECT_EQ(infinite.Left_s(0.0), 316'224'000.0);
  // 316,224,000,000 ms does not fit 32 bits: the low half is the answer.
  EXPECT_EQ(infinite.Left_ms(0), 2'691'387'392ul);
  fake_clocks::advance_ms(1);
  EXPECT_EQ(infinite.Left_ms(0), 2'691'387'391ul);
}

TEST_F(FakeClockTest, TimeLeftNeverFallsBelowTheMinimum) {
  const CountdownTimer_t timer(1500ul);
  fake_clocks::advance_ms(500);
  EXPECT_DOUBLE_EQ(timer.Elapsed_s(), 0.5);
  EXPECT_DOUBLE_EQ(timer.Left_s(0.5), 1.0);
  EXPECT_EQ(timer.Left_s(2.0), 2.0);  // one second left: the minimum wins
  EXPECT_EQ(timer.Left_ms(5000), 5000ul);

  fake_clocks::counter += 300;  // 0.3 ms more: whole milliseconds, truncated
  EXPECT_EQ(timer.Left_ms(10), 999ul);

  const CountdownTimer_t copy(timer);
  fake_clocks::advance_ms(2000);
  EXPECT_EQ(timer.Left_s(0.0), 0.0);
  EXPECT_EQ(copy.Left_s(0.25), 0.25);
  EXPECT_EQ(timer.Left_ms(0), 0ul);
  // Minimums whose seconds round-trip lands just below them stay whole.
  for (unsigned long minimum : {4007ul, 8001ul, 10ul, 1ul})
    EXPECT_EQ(timer.Left_ms(minimum), minimum);
}

}  // namespace
