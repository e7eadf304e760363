// Clocks that the timing tests set and move by hand, put in force through the
// library's clock table. They are fakes because the real clocks cannot be
// made to wrap, leap ahead or fail on demand.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "time/clocks.h"

namespace timing_test {

struct fake_clocks {
  // Counts per second of the fake performance counter: one count per µs.
  static constexpr long long kFrequency = 1'000'000;
  // A UTC moment in 2024, in whole milliseconds.
  static constexpr unsigned long long kUtcBase = 133'500'000'000'000'000ull;

  static inline std::atomic<unsigned long long> tick64{0};
  static inline std::atomic<DWORD> tick32{0};
  static inline std::atomic<int> tick32_reads{0};
  static inline std::atomic<unsigned long long> utc{kUtcBase};
  static inline std::atomic<long long> counter{0};
  static inline std::atomic<long long> frequency{kFrequency};
  static inline std::atomic<unsigned long> counter_error{0};
  static inline std::atomic<unsigned long> frequency_error{0};

  static void reset() {
    tick64 = 5'000'000;
    tick32 = 1000;
    tick32_reads = 0;
    utc = kUtcBase;
    counter = 42'000'000;
    frequency = kFrequency;
    counter_error = 0;
    frequency_error = 0;
  }

  // Moves every clock forward together.
  static void advance_ms(unsigned long long ms) {
    tick64 += ms;
    tick32 += static_cast<DWORD>(ms);
    utc += ms * 10'000;
    counter += static_cast<long long>(ms) * kFrequency / 1000;
  }

  // The table; `native64` decides whether it offers a 64-bit tick count.
  static const krCore::detail::clock_table& table(bool native64) {
    static const krCore::detail::clock_table with = make(true);
    static const krCore::detail::clock_table without = make(false);
    return native64 ? with : without;
  }

 private:
  static krCore::detail::clock_table make(bool native64) {
    krCore::detail::clock_table t{};
    if (native64) t.tick_count64 = [] { return tick64.load(); };
    t.tick_count = [] {
      ++tick32_reads;
      return tick32.load();
    };
    t.utc_now = [] { return utc.load(); };
    t.performance_counter = [](long long* c) {
      if (unsigned long e = counter_error.load()) return e;
      *c = counter.load();
      return 0ul;
    };
    t.performance_frequency = [](long long* f) {
      if (unsigned long e = frequency_error.load()) return e;
      *f = frequency.load();
      return 0ul;
    };
    return t;
  }
};

// Fixture: fake clocks in force (with a native 64-bit tick count unless the
// test calls use_clocks itself) and a fresh tick-count provider.
class FakeClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_clocks::reset();
    use_clocks(true);
  }
  void use_clocks(bool native64) {
    _scope.reset();
    _scope.emplace(fake_clocks::table(native64));
  }
  void TearDown() override { _scope.reset(); }

 private:
  std::optional<krCore::detail::scoped_clocks> _scope;
};

}  // namespace timing_test
