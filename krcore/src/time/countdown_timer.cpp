// CountdownTimer_t: a started stopwatch and a total, reporting the time left
// with a floor, for bounding a sequence of waits by one deadline.
#include <krcore/timing.h>

#include <sstream>

#include "logging/logsink.h"
#include "time/stopwatch_math.h"

namespace krCore {

CountdownTimer_t::CountdownTimer_t(unsigned long total_ms)
    : _stopwatch(true),
      _total(total_ms == INFINITE ? Infinite_s() : static_cast<double>(total_ms) * 0.001) {
  if (detail::log_enabled(detail::kLogVerbose)) {
    std::wostringstream text;
    text << L"CountdownTimer_t(DWORD) - Total_ms [" << total_ms << L"], Total [" << _total
         << L"] second(s).";
    detail::log_entry(detail::kLogVerbose, text.str());
  }
}

CountdownTimer_t::CountdownTimer_t(double total_s) : _stopwatch(true), _total(total_s) {
  if (detail::log_enabled(detail::kLogVerbose)) {
    std::wostringstream text;
    text << L"CountdownTimer_t(double) - Total_s [" << total_s << L"], Total [" << _total
         << L"] second(s).";
    detail::log_entry(detail::kLogVerbose, text.str());
  }
}

CountdownTimer_t::~CountdownTimer_t() = default;

double CountdownTimer_t::Infinite_s() { return 316'224'000.0; }

double CountdownTimer_t::Elapsed_s() const { return _stopwatch.Elapsed_s(); }

double CountdownTimer_t::Left_s(double minimum_s) const {
  const double elapsed = Elapsed_s();
  const double left = _total > elapsed ? _total - elapsed : minimum_s;
  return left >= minimum_s ? left : minimum_s;
}

unsigned long CountdownTimer_t::Left_ms(unsigned long minimum_ms) const {
  const double left_s = Left_s(static_cast<double>(minimum_ms) * 0.001);
  unsigned long long left_ms = detail::ticks_from_double(left_s * 1000.0);
  // The round trip through seconds can land just below a whole minimum
  // (4007 ms comes back as 4006.999…): the minimum is a floor in whole ms.
  if (left_ms < minimum_ms) left_ms = minimum_ms;
  // Computed in 64 bits; only the low half is returned, so a remaining time
  // of 2^32 ms or more (an infinite total) still gives a usable wait.
  return static_cast<unsigned long>(left_ms & 0xFFFFFFFFull);
}

}  // namespace krCore
