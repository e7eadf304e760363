// Internal: the conversions every stopwatch and the countdown timer share.
#pragma once

#include <krcore/timing.h>

namespace krCore::detail {

// A tick count from a product of seconds and a rate, truncated toward zero.
// Negative and non-numeric products give 0; products of 2^64 and more give
// the largest count, so the conversion is defined for every input.
inline unsigned long long ticks_from_double(double product) {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(product > 0.0)) return 0;
  if (product >= kTwoTo64) return ~0ull;
  return static_cast<unsigned long long>(product);
}

// Elapsed seconds of a single-clock stopwatch: its ticks at its own rate,
// both through the virtual interface so that derived classes stay consistent.
inline double elapsed_seconds(const IStopwatch& stopwatch) {
  return stopwatch.TicksToSeconds(stopwatch.Elapsed_Ticks());
}

}  // namespace krCore::detail
