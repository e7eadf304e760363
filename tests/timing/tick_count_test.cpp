// The 64-bit tick count: forwarding to the native count, and the emulation
// from a wrapping 32-bit count and the system clock, driven by fake clocks.
#include <gtest/gtest.h>
#include <krcore/timing.h>
#include <time.h>

#include "fake_clocks.h"
#include "foundation/thrown.h"

using krCore::singleton;
using krCore::TickCountProvider;
using timing_test::fake_clocks;

namespace {

TickCountProvider& provider() { return *singleton<TickCountProvider>::instance(); }

class EmulatedTickCount : public timing_test::FakeClockTest {
 protected:
  void SetUp() override {
    FakeClockTest::SetUp();
    use_clocks(false);
  }
  // Moves the system clock only, as if the 32-bit count had been set apart.
  static void advance_utc_ms(unsigned long long ms) { fake_clocks::utc += ms * 10'000; }
};

TEST_F(EmulatedTickCount, Follows32BitCountUntilItWrapsThenTheSystemClock) {
  fake_clocks::tick32 = 1000;
  EXPECT_FALSE(provider().SystemHasTickCount64());

  fake_clocks::tick32 = 1500;
  advance_utc_ms(500);
  EXPECT_EQ(provider().GetTickCount64(), 1500u);
  EXPECT_FALSE(provider().IsGetTickCountIgnored());

  // Back at its creation value counts as wrapped, as does anything below.
  advance_utc_ms(9'500);
  fake_clocks::tick32 = 1000;
  EXPECT_EQ(provider().GetTickCount64(), 11'000u);
  fake_clocks::tick32 = 3;
  EXPECT_EQ(provider().GetTickCount64(), 11'000u);
  EXPECT_FALSE(provider().IsGetTickCountIgnored());

  // The emulated count goes on past 2^32.
  advance_utc_ms(0x1'0000'0000ull);
  EXPECT_EQ(provider().GetTickCount64(), 11'000u + 0x1'0000'0000ull);
  EXPECT_TRUE(provider().IsGetTickCountIgnored());
}

TEST_F(EmulatedTickCount, IgnoreFlagUsesTheSystemClockAlone) {
  fake_clocks::tick32 = 1000;
  provider();
  fake_clocks::tick32 = 1500;
  advance_utc_ms(2000);

  provider().SetIgnoreGetTickCount(true);
  EXPECT_EQ(provider().GetTickCount64(), 3000u);
  EXPECT_TRUE(provider().IsGetTickCountIgnored());

  provider().SetIgnoreGetTickCount(false);
  EXPECT_EQ(provider().GetTickCount64(), 1500u);
  EXPECT_FALSE(provider().IsGetTickCountIgnored());
}

TEST_F(EmulatedTickCount, EmulatedValueOf0xFFFFFFFFIsReturnedWithoutReading32BitCount) {
  fake_clocks::tick32 = 0xFFFFFFFFu - 5000;
  provider();

  fake_clocks::tick32 = 0xFFFFFFFEu;  // above its creation value: trusted
  advance_utc_ms(4999);
  EXPECT_EQ(provider().GetTickCount64(), 0xFFFFFFFEu);
  EXPECT_FALSE(provider().IsGetTickCountIgnored());

  advance_utc_ms(1);
  const int reads = fake_clocks::tick32_reads;
  EXPECT_EQ(provider().GetTickCount64(), 0xFFFFFFFFu);
  EXPECT_TRUE(provider().IsGetTickCountIgnored());
  EXPECT_EQ(fake_clocks::tick32_reads, reads);
}

TEST_F(EmulatedTickCount, SystemTimeCountsInWholeMillisecondsAndIsUnsigned) {
  fake_clocks::tick32 = 1000;
  fake_clocks::utc = fake_clocks::kUtcBase + 9'999;  // 0.9999 ms past a whole ms
  provider();
  fake_clocks::tick32 = 0;

  fake_clocks::utc = fake_clocks::kUtcBase + 10'000;
  EXPECT_EQ(provider().GetTickCount64(), 1001u);

  // A system clock set back before creation wraps the difference.
  fake_clocks::utc = fake_clocks::kUtcBase - 10'000;
  EXPECT_EQ(provider().GetTickCount64(), 1000u + (0ull - 10'000) / 10'000);
}

TEST_F(EmulatedTickCount, UnconvertibleSystemTimeFailsCreationUntilItConverts) {
  // The largest FILETIME falls in the year 30828, which the conversion rejects.
  fake_clocks::utc = 0x7FFF'FFFF'FFFF'FFFFull;
  const auto e = testsupport::thrown<krException>([] { provider(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 87u);
  EXPECT_STREQ(e->what(), "TickCountProvider: SystemTimeToFileTime failed.");
  fake_clocks::utc = fake_clocks::kUtcBase;
  fake_clocks::tick32 = 1234;
  EXPECT_EQ(provider().GetTickCount64(), 1234u);  // created now; nothing wrapped
}

using NativeTickCount = timing_test::FakeClockTest;

TEST_F(NativeTickCount, IsForwardedUnchanged) {
  fake_clocks::tick64 = 123'456'789'012ull;
  EXPECT_TRUE(provider().SystemHasTickCount64());
  EXPECT_EQ(provider().GetTickCount64(), 123'456'789'012ull);
  EXPECT_TRUE(provider().IsGetTickCountIgnored());
  provider().SetIgnoreGetTickCount(true);
  EXPECT_EQ(provider().GetTickCount64(), 123'456'789'012ull);
  EXPECT_EQ(fake_clocks::tick32_reads, 0);
}

// On Windows the system's own counts are compared with each other in
// windows/system_clocks_test.cpp.
#if !defined(_WIN32)
unsigned long long boot_time_ms() {
  timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return ts.tv_sec * 1000ull + ts.tv_nsec / 1'000'000;
}

TEST(SystemTickCount, IsTheBootTimeInMilliseconds) {
  krCore::detail::reset_tick_count_provider();
  EXPECT_TRUE(provider().SystemHasTickCount64());
  const unsigned long long before = boot_time_ms();
  const unsigned long long value = provider().GetTickCount64();
  const unsigned long long after = boot_time_ms();
  EXPECT_LE(before, value);
  EXPECT_LE(value, after);
  // The 32-bit count is the low half of the same clock.
  const DWORD low = krCore::detail::system_clocks().tick_count();
  EXPECT_LE(static_cast<DWORD>(boot_time_ms()) - low, 1000u);
}
#endif

}  // namespace
