// The single-clock stopwatches: HighResStopwatch (performance counter),
// LowResStopwatch (64-bit tick count) and SysTimeStopwatch (UTC system time).
//
// The three share their interval logic and differ only in the clock they
// read and its tick rate. A read is one clock read through the clock table
// and never allocates.
#include <krcore/timing.h>

#include "time/clocks.h"
#include "time/filetime.h"
#include "time/stopwatch_math.h"

namespace krCore {
namespace {

unsigned long long as_ticks(const LARGE_INTEGER& v) { return static_cast<unsigned long long>(v.QuadPart); }
unsigned long long as_ticks(const ULARGE_INTEGER& v) { return v.QuadPart; }
unsigned long long as_ticks(unsigned long long v) { return v; }

// The interval logic. The running flag changes before the clock is read, so
// a failed read leaves the flag changed and the stored value as it was.
template <class Value>
void start_interval(bool& running, Value& start, void (*query)(Value&)) {
  if (running) return;
  running = true;
  query(start);
}

template <class Value>
void stop_interval(bool& running, Value& stop, void (*query)(Value&)) {
  if (!running) return;
  running = false;
  query(stop);
}

template <class Value>
unsigned long long interval_ticks(bool running, const Value& start, const Value& stop,
                                  void (*query)(Value&)) {
  if (!running) return as_ticks(stop) - as_ticks(start);
  Value now;
  query(now);
  return as_ticks(now) - as_ticks(start);
}

}  // namespace

IStopwatch::~IStopwatch() = default;

// ---------------------------------------------------------------------------
// HighResStopwatch
// ---------------------------------------------------------------------------

HighResStopwatch::HighResStopwatch(bool start) {
  Init(InitError_Throw);
  if (start) Start();
}

HighResStopwatch::HighResStopwatch(InitError_t policy) { Init(policy); }

HighResStopwatch::~HighResStopwatch() = default;

void HighResStopwatch::Init(InitError_t policy) {
  _running = false;
  _start.QuadPart = 0;
  _stop.QuadPart = 0;
  _frequency = 0;
  long long frequency = 0;
  if (const unsigned long error = detail::clocks().performance_frequency(&frequency)) {
    if (policy == InitError_Throw)
      throw krException(error, "HighResStopwatch: QueryPerformanceFrequency failed.", 4);
    frequency = 0;
  }
  _frequency = frequency;
}

void HighResStopwatch::Query(LARGE_INTEGER& count) {
  long long value;
  if (const unsigned long error = detail::clocks().performance_counter(&value))
    throw krException(error, "HighResStopwatch: QueryPerformanceCounter failed.", 4);
  count.QuadPart = value;
}

bool HighResStopwatch::IsAvailable() {
  long long value;
  return detail::clocks().performance_counter(&value) == 0;
}

long long HighResStopwatch::Frequency() const { return _frequency; }
bool HighResStopwatch::IsRunning() const { return _running; }
void HighResStopwatch::Start() { start_interval(_running, _start, &Query); }
void HighResStopwatch::Stop() { stop_interval(_running, _stop, &Query); }
unsigned long long HighResStopwatch::Elapsed_Ticks() const {
  return interval_ticks(_running, _start, _stop, &Query);
}
double HighResStopwatch::Elapsed_s() const { return detail::elapsed_seconds(*this); }
bool HighResStopwatch::IsHighResolution() const { return true; }
IStopwatch* HighResStopwatch::Clone() const { return new HighResStopwatch(*this); }
double HighResStopwatch::TicksToSeconds(unsigned long long ticks) const {
  return static_cast<double>(ticks) / static_cast<double>(_frequency);
}
unsigned long long HighResStopwatch::SecondsToTicks(double seconds) const {
  return detail::ticks_from_double(seconds * static_cast<double>(_frequency));
}

// ---------------------------------------------------------------------------
// LowResStopwatch
// ---------------------------------------------------------------------------

LowResStopwatch::LowResStopwatch(bool start) {
  if (start) Start();
}

LowResStopwatch::~LowResStopwatch() = default;

void LowResStopwatch::Query(unsigned long long& ticks) {
  ticks = singleton<TickCountProvider>::instance()->GetTickCount64();
}

bool LowResStopwatch::IsRunning() const { return _running; }
void LowResStopwatch::Start() { start_interval(_running, _start, &Query); }
void LowResStopwatch::Stop() { stop_interval(_running, _stop, &Query); }
unsigned long long LowResStopwatch::Elapsed_Ticks() const {
  return interval_ticks(_running, _start, _stop, &Query);
}
double LowResStopwatch::Elapsed_s() const { return detail::elapsed_seconds(*this); }
bool LowResStopwatch::IsHighResolution() const { return false; }
IStopwatch* LowResStopwatch::Clone() const { return new LowResStopwatch(*this); }
double LowResStopwatch::TicksToSeconds(unsigned long long ticks) const {
  return static_cast<double>(ticks) / 1000.0;
}
unsigned long long LowResStopwatch::SecondsToTicks(double seconds) const {
  return detail::ticks_from_double(seconds * 1000.0);
}

// ---------------------------------------------------------------------------
// SysTimeStopwatch
// ---------------------------------------------------------------------------

SysTimeStopwatch::SysTimeStopwatch(bool start) {
  if (start) Start();
}

SysTimeStopwatch::~SysTimeStopwatch() = default;

void SysTimeStopwatch::Query(ULARGE_INTEGER& time) {
  if (const unsigned long error = detail::query_system_time(time.QuadPart))
    throw krException(error, "SysTimeStopwatch: SystemTimeToFileTime failed.", 4);
}

bool SysTimeStopwatch::IsRunning() const { return _running; }
void SysTimeStopwatch::Start() { start_interval(_running, _start, &Query); }
void SysTimeStopwatch::Stop() { stop_interval(_running, _stop, &Query); }
unsigned long long SysTimeStopwatch::Elapsed_Ticks() const {
  return interval_ticks(_running, _start, _stop, &Query);
}
double SysTimeStopwatch::Elapsed_s() const { return detail::elapsed_seconds(*this); }
bool SysTimeStopwatch::IsHighResolution() const { return false; }
IStopwatch* SysTimeStopwatch::Clone() const { return new SysTimeStopwatch(*this); }
double SysTimeStopwatch::TicksToSeconds(unsigned long long ticks) const {
  return static_cast<double>(ticks) / 1.0e7;
}
unsigned long long SysTimeStopwatch::SecondsToTicks(double seconds) const {
  return detail::ticks_from_double(seconds * 1.0e7);
}

}  // namespace krCore
