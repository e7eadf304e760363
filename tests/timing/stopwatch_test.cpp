// Stopwatch semantics against fake clocks that move only when a test says
// so, plus the real clocks where their behaviour matters.
#include <gtest/gtest.h>
#include <krcore/timing.h>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "fake_clocks.h"
#include "foundation/thrown.h"

using namespace krCore;
using timing_test::fake_clocks;
using timing_test::FakeClockTest;

namespace {

// The stopwatches that can be stopped share one behaviour; the composite ones
// (elapsed, best) also own a copy of their parts.
template <class T>
class StoppableStopwatch : public FakeClockTest {};
using StoppableTypes = ::testing::Types<HighResStopwatch, LowResStopwatch, SysTimeStopwatch,
                                        ElapsedStopwatch, BestResStopwatch>;
TYPED_TEST_SUITE(StoppableStopwatch, StoppableTypes);

TYPED_TEST(StoppableStopwatch, StartStopAndRestart) {
  TypeParam sw;
  EXPECT_FALSE(sw.IsRunning());
  EXPECT_EQ(sw.Elapsed_Ticks(), 0u);
  EXPECT_EQ(sw.Elapsed_s(), 0.0);

  sw.Start();
  fake_clocks::advance_ms(100);
  sw.Start();  // keeps the first start
  fake_clocks::advance_ms(150);
  EXPECT_TRUE(sw.IsRunning());
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.25);

  sw.Stop();
  fake_clocks::advance_ms(300);
  sw.Stop();  // keeps the first stop
  EXPECT_FALSE(sw.IsRunning());
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.25);
  EXPECT_EQ(sw.Elapsed_Ticks(), sw.SecondsToTicks(0.25));

  sw.Start();  // a new interval, nothing carried over
  EXPECT_EQ(sw.Elapsed_Ticks(), 0u);
  fake_clocks::advance_ms(40);
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.04);
}

TYPED_TEST(StoppableStopwatch, ClonesAndCopiesRunOnTheirOwn) {
  TypeParam sw(true);
  fake_clocks::advance_ms(10);
  std::unique_ptr<IStopwatch> clone(sw.Clone());
  TypeParam copy(sw);
  TypeParam assigned;
  assigned = sw;
  assigned = assigned;
  sw.Stop();
  fake_clocks::advance_ms(20);

  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.01);
  for (const IStopwatch* other : {static_cast<const IStopwatch*>(clone.get()),
                                  static_cast<const IStopwatch*>(&copy),
                                  static_cast<const IStopwatch*>(&assigned)}) {
    EXPECT_TRUE(other->IsRunning());
    EXPECT_DOUBLE_EQ(other->Elapsed_s(), 0.03);
    EXPECT_EQ(other->IsHighResolution(), sw.IsHighResolution());
  }
}

TEST_F(FakeClockTest, ConversionsUseEachClocksRate) {
  const LowResStopwatch low;
  EXPECT_EQ(SysTimeStopwatch().SecondsToTicks(1.0), 10'000'000u);
  EXPECT_EQ(low.SecondsToTicks(0.0015), 1u);  // truncated
  EXPECT_EQ(HighResStopwatch().TicksToSeconds(2'500'000), 2.5);

  // Products from 2^63 up use the whole unsigned range; past it and below
  // zero the conversion saturates.
  EXPECT_EQ(low.SecondsToTicks(1.5e16), 15'000'000'000'000'000'000ull);
  EXPECT_EQ(low.SecondsToTicks(1e30), std::numeric_limits<unsigned long long>::max());
  EXPECT_EQ(low.SecondsToTicks(-1.0), 0u);
  EXPECT_EQ(low.SecondsToTicks(std::nan("")), 0u);
  EXPECT_EQ(low.TicksToSeconds(~0ull), 18446744073709551.615);
}

TEST_F(FakeClockTest, FailingPerformanceCounterIsReportedAndAvoided) {
  using testsupport::thrown;
  fake_clocks::frequency_error = 50;
  auto e = thrown<krException>([] { HighResStopwatch sw; });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 50u);
  EXPECT_STREQ(e->what(), "HighResStopwatch: QueryPerformanceFrequency failed.");
  EXPECT_EQ(HighResStopwatch(InitError_Ignore).Frequency(), 0);
  EXPECT_EQ(HighResStopwatch(HighResStopwatch::InitError_Ignore).Frequency(), 0);
  fake_clocks::frequency_error = 0;

  HighResStopwatch sw;
  fake_clocks::counter_error = 31;
  EXPECT_FALSE(HighResStopwatch::IsAvailable());
  e = thrown<krException>([&] { sw.Start(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 31u);
  EXPECT_STREQ(e->what(), "HighResStopwatch: QueryPerformanceCounter failed.");
  EXPECT_TRUE(sw.IsRunning());  // the flag changed before the read failed

  // Without a readable counter the best stopwatch is the tick count.
  BestResStopwatch best(true);
  EXPECT_FALSE(best.IsHighResolution());
  fake_clocks::advance_ms(70);
  EXPECT_EQ(best.Elapsed_Ticks(), 70u);
}

TEST_F(FakeClockTest, ElapsedStopwatchDistrustsALeapingCounter) {
  ElapsedStopwatch sw(true);
  EXPECT_TRUE(sw.IsHighResolution());
  fake_clocks::advance_ms(1000);
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 1.0);

  fake_clocks::counter += 490'000;  // 0.49 s ahead: still trusted
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 1.49);
  EXPECT_EQ(sw.GetLeapForwardCounter(), 0);

  fake_clocks::counter += 10'000;  // 0.5 s ahead: every read counts it
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 1.0);
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 1.0);
  EXPECT_EQ(sw.Elapsed_Ticks(), 1000u);
  EXPECT_EQ(sw.GetLeapForwardCounter(), 3);

  ElapsedStopwatch copy(sw);
  EXPECT_EQ(copy.GetLeapForwardCounter(), 3);

  // Reads from several threads at once each count.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) sw.Elapsed_s();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(sw.GetLeapForwardCounter(), 4003);
  EXPECT_EQ(copy.GetLeapForwardCounter(), 3);
}

TEST_F(FakeClockTest, ElapsedStopwatchTrustsACounterBehindTheTickCountOrNoneAtAll) {
  ElapsedStopwatch sw(true);
  fake_clocks::tick64 += 2000;
  fake_clocks::counter += 500'000;
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.5);
  sw.Stop();
  fake_clocks::advance_ms(100);
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.5);
  EXPECT_EQ(sw.GetLeapForwardCounter(), 0);

  // Without a counter frequency only the tick count counts.
  fake_clocks::frequency = 0;
  ElapsedStopwatch ticks(true);
  EXPECT_FALSE(ticks.IsHighResolution());
  fake_clocks::advance_ms(250);
  fake_clocks::counter += 10'000'000;
  EXPECT_DOUBLE_EQ(ticks.Elapsed_s(), 0.25);
  EXPECT_EQ(ticks.GetLeapForwardCounter(), 0);
}

TEST_F(FakeClockTest, ProcessStopwatchRefusesToStopEveryTime) {
  ProcessStopwatch sw;
  EXPECT_FALSE(sw.IsRunning());
  sw.Start();
  const auto e = testsupport::thrown<w32_exception>([&] { sw.Stop(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, 1u);
  EXPECT_STREQ(e->description(), L"ProcessStopwatch timer cannot be stopped!");
  // Again, and through the interface.
  IStopwatch& base = sw;
  EXPECT_THROW(base.Stop(), w32_exception);
  EXPECT_TRUE(sw.IsRunning());
  fake_clocks::advance_ms(30);
  EXPECT_DOUBLE_EQ(sw.Elapsed_s(), 0.03);
}

TEST(RealClocks, BestResStopwatchIsTheNanosecondCounterAndClonesRunOn) {
  BestResStopwatch sw(true);
  ASSERT_TRUE(sw.IsHighResolution());
#if !defined(_WIN32)  // Windows counts at the rate the system reports
  EXPECT_EQ(sw.SecondsToTicks(1.0), 1'000'000'000u);
#endif
  std::unique_ptr<IStopwatch> clone(sw.Clone());
  sw.Stop();
  const unsigned long long stopped = sw.Elapsed_Ticks();
  EXPECT_TRUE(clone->IsRunning());
  EXPECT_TRUE(clone->IsHighResolution());
  // The clone keeps counting past the stopped original; the counter moves
  // every nanosecond, so this ends at once.
  while (clone->Elapsed_Ticks() <= stopped) {
  }
  EXPECT_EQ(sw.Elapsed_Ticks(), stopped);
}

}  // namespace
