// The stopwatches built from the single-clock ones: ElapsedStopwatch, which
// cross-checks the performance counter against the tick count;
// BestResStopwatch, which picks the best available clock; and
// ProcessStopwatch, the process uptime clock that cannot be stopped.
#include <krcore/timing.h>

#include <atomic>
#include <memory>

#include "logging/logsink.h"

namespace krCore {

// ---------------------------------------------------------------------------
// ElapsedStopwatch
// ---------------------------------------------------------------------------

ElapsedStopwatch::ElapsedStopwatch(bool start)
    : _highRes(InitError_Throw), _lowRes(false), _isHighResolution(_highRes.Frequency() != 0) {
  if (start) Start();
}

ElapsedStopwatch::~ElapsedStopwatch() = default;

bool ElapsedStopwatch::IsRunning() const { return _lowRes.IsRunning(); }

void ElapsedStopwatch::Start() {
  _lowRes.Start();
  if (_isHighResolution) _highRes.Start();
}

void ElapsedStopwatch::Stop() {
  if (_isHighResolution) _highRes.Stop();
  _lowRes.Stop();
}

double ElapsedStopwatch::Elapsed_s() const {
  const double low = _lowRes.Elapsed_s();
  if (!_isHighResolution) return low;
  const double high = _highRes.Elapsed_s();
  // Behind the tick count by any amount is trusted; half a second or more
  // ahead of it means the performance counter leapt (as some hardware
  // counters do), and so does a NaN, which fails the comparison.
  if (high - low < 0.5) return high;
  std::atomic_ref<long>(_leapForwardCounter).fetch_add(1, std::memory_order_relaxed);
  return low;
}

unsigned long long ElapsedStopwatch::Elapsed_Ticks() const { return SecondsToTicks(Elapsed_s()); }
bool ElapsedStopwatch::IsHighResolution() const { return _isHighResolution; }
IStopwatch* ElapsedStopwatch::Clone() const { return new ElapsedStopwatch(*this); }
double ElapsedStopwatch::TicksToSeconds(unsigned long long ticks) const {
  return _lowRes.TicksToSeconds(ticks);
}
unsigned long long ElapsedStopwatch::SecondsToTicks(double seconds) const {
  return _lowRes.SecondsToTicks(seconds);
}

long ElapsedStopwatch::GetLeapForwardCounter() const {
  return std::atomic_ref<long>(_leapForwardCounter).load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// BestResStopwatch
// ---------------------------------------------------------------------------

BestResStopwatch::BestResStopwatch(bool start) {
  std::unique_ptr<IStopwatch> impl;
  if (HighResStopwatch::IsAvailable())
    impl = std::make_unique<HighResStopwatch>(InitError_Throw);
  else
    impl = std::make_unique<LowResStopwatch>(false);
  if (start) impl->Start();
  _impl = impl.release();
}

BestResStopwatch::BestResStopwatch(const BestResStopwatch& other)
    : IStopwatch(other), _impl(other._impl->Clone()) {}

BestResStopwatch& BestResStopwatch::operator=(const BestResStopwatch& other) {
  if (this != &other) {
    IStopwatch* copy = other._impl->Clone();
    delete _impl;
    _impl = copy;
  }
  return *this;
}

BestResStopwatch::~BestResStopwatch() { delete _impl; }

bool BestResStopwatch::IsRunning() const { return _impl->IsRunning(); }
unsigned long long BestResStopwatch::Elapsed_Ticks() const { return _impl->Elapsed_Ticks(); }
double BestResStopwatch::Elapsed_s() const { return _impl->Elapsed_s(); }
void BestResStopwatch::Start() { _impl->Start(); }
void BestResStopwatch::Stop() { _impl->Stop(); }
bool BestResStopwatch::IsHighResolution() const { return _impl->IsHighResolution(); }
IStopwatch* BestResStopwatch::Clone() const { return _impl->Clone(); }
double BestResStopwatch::TicksToSeconds(unsigned long long ticks) const {
  return _impl->TicksToSeconds(ticks);
}
unsigned long long BestResStopwatch::SecondsToTicks(double seconds) const {
  return _impl->SecondsToTicks(seconds);
}

// ---------------------------------------------------------------------------
// ProcessStopwatch
// ---------------------------------------------------------------------------

ProcessStopwatch::ProcessStopwatch() : BestResStopwatch(false) {}

ProcessStopwatch::~ProcessStopwatch() = default;

void ProcessStopwatch::Stop() {
  if (detail::log_enabled(detail::kLogNormal))
    detail::log_entry(detail::kLogNormal, L"ProcessStopwatch::Stop() - cannot be stopped!");
  throw w32_exception(L"ProcessStopwatch timer cannot be stopped!", 1);
}

}  // namespace krCore
