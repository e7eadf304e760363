// The time family: the tick-count provider, the stopwatches and the
// countdown timer.
//
// Durations are measured against monotonic clocks so that changes of the wall
// clock do not disturb them: the performance counter (high resolution) and a
// 64-bit millisecond tick count that never wraps. Stopwatch reads cost one
// clock read and never allocate.
#pragma once

#include <krcore/foundation.h>

#include <concepts>

namespace krCore {

// ---------------------------------------------------------------------------
// TickCountProvider
// ---------------------------------------------------------------------------

class TickCountProvider;
KRCORE_LIBRARY_SINGLETON(TickCountProvider);

// The process-wide 64-bit count of milliseconds since system start (time
// spent suspended included). It never wraps.
//
// Where the system offers a native 64-bit tick count the provider forwards to
// it. Otherwise it emulates one from the 32-bit tick count (which wraps after
// about 49.7 days) and the UTC system clock: the 32-bit count is trusted only
// while it is above its value at creation and the emulated total is below
// 0xFFFFFFFF; after that the value is the tick count at creation plus the
// system-clock milliseconds since creation. The emulation follows the system
// clock, so setting that clock back makes its value jump.
//
// Reached through singleton<TickCountProvider>::instance(); the instance lives
// until the process ends. Creation writes one line to the debugger output and
// throws krException when the system time cannot be read. After creation all
// members are safe to call from any thread without a lock.
class KRCORE_API TickCountProvider : public singleton<TickCountProvider> {
  friend class singleton<TickCountProvider>;

 public:
  ~TickCountProvider() override;

  // True when the system's native 64-bit tick count is used.
  bool SystemHasTickCount64() const;

  // Milliseconds since system start. Throws krException (code 87, "…
  // SystemTimeToFileTime failed.") only on the emulated path, when the system
  // time cannot be converted.
  unsigned long long GetTickCount64() const;

  // When set, the emulated path never consults the 32-bit tick count. Has no
  // effect while the native count is used. The flag is read and written
  // without ordering; other threads see a change on one of their next reads.
  void SetIgnoreGetTickCount(bool ignore);
  bool GetIgnoreGetTickCount() const;

  // True when the value does not come from the 32-bit tick count: the ignore
  // flag is set, the native count is used, or the emulated value has reached
  // 0xFFFFFFFF. Throws as GetTickCount64.
  bool IsGetTickCountIgnored() const;

 private:
  TickCountProvider();

  // The UTC system time in 100 ns units since 1601-01-01, truncated to whole
  // milliseconds. Throws krException on a failed conversion.
  static void QuerySysTime(ULARGE_INTEGER& now);
  // System-clock milliseconds since creation (unsigned: a clock set back
  // wraps modulo 2^64).
  unsigned long long ElapsedSysTime_ms() const;

  unsigned long long (*_tickCount64)() = nullptr;
  unsigned long long _sysTimeAtCreation = 0;
  DWORD _tickCountAtCreation = 0;
  std::atomic<bool> _ignoreGetTickCount{false};
};

// ---------------------------------------------------------------------------
// Stopwatches
// ---------------------------------------------------------------------------

// A stopwatch: measures the time between Start and Stop (or now, while
// running) in its clock's ticks and in seconds.
//
// Start on a running stopwatch and Stop on a stopped one do nothing; a Start
// after a Stop begins a new interval from zero. A stopwatch never started
// reports 0. Objects carry no lock: one thread uses an object at a time.
// Errors: a clock that cannot be read throws krException (from the
// constructor, Start, Stop or a read of a running stopwatch), as each
// implementation says; the conversions never throw. Clone throws only
// std::bad_alloc.
class KRCORE_API IStopwatch {
 public:
  IStopwatch() = default;
  IStopwatch(const IStopwatch&) = default;
  IStopwatch& operator=(const IStopwatch&) = default;
  virtual ~IStopwatch();

  virtual bool IsRunning() const = 0;
  // Ticks of the current interval (running) or of the last one (stopped).
  virtual unsigned long long Elapsed_Ticks() const = 0;
  virtual double Elapsed_s() const = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool IsHighResolution() const = 0;
  // A new object with the same state, owned by the caller.
  virtual IStopwatch* Clone() const = 0;
  virtual double TicksToSeconds(unsigned long long ticks) const = 0;
  // Truncates toward zero. A negative or non-numeric product gives 0 and a
  // product of 2^64 or more gives the largest value.
  virtual unsigned long long SecondsToTicks(double seconds) const = 0;
};

// The policy for a failed frequency query of HighResStopwatch.
enum InitError_t {
  InitError_Ignore = 0,  // leave the frequency 0
  InitError_Throw = 1,   // throw krException
};

// Measures with the performance counter (the monotonic clock, counted in
// nanoseconds here). One tick is 1 / Frequency() seconds. Clock read failures
// throw krException with the Win32 code; a throw from Start or Stop leaves
// the running flag changed and the stored value unchanged. No lock: one
// thread uses an object at a time (as IStopwatch).
class KRCORE_API HighResStopwatch : public IStopwatch {
 public:
  using InitError_t = krCore::InitError_t;
  using enum krCore::InitError_t;

  // Reads the frequency (throws krException when that fails), then starts
  // when asked.
  explicit HighResStopwatch(bool start = false);
  // Reads the frequency with the given policy; never starts.
  explicit HighResStopwatch(InitError_t policy);
  HighResStopwatch(const HighResStopwatch&) = default;
  HighResStopwatch& operator=(const HighResStopwatch&) = default;
  ~HighResStopwatch() override;

  bool IsRunning() const override;
  unsigned long long Elapsed_Ticks() const override;
  double Elapsed_s() const override;
  void Start() override;
  void Stop() override;
  bool IsHighResolution() const override;
  IStopwatch* Clone() const override;
  // Divides by the frequency: callers that chose InitError_Ignore check
  // Frequency() first.
  double TicksToSeconds(unsigned long long ticks) const override;
  unsigned long long SecondsToTicks(double seconds) const override;

  // True when the performance counter can be read.
  static bool IsAvailable();
  // Counts per second; 0 when the query failed under InitError_Ignore.
  long long Frequency() const;

 protected:
  void Init(InitError_t policy);
  static void Query(LARGE_INTEGER& count);

 private:
  LARGE_INTEGER _start{};
  LARGE_INTEGER _stop{};
  long long _frequency = 0;
  bool _running = false;
};

// Measures with TickCountProvider::GetTickCount64. One tick is 1 ms. Throws
// what the tick count provider throws (krException, on its emulated path
// only). No lock: one thread uses an object at a time (as IStopwatch).
class KRCORE_API LowResStopwatch : public IStopwatch {
 public:
  explicit LowResStopwatch(bool start = false);
  LowResStopwatch(const LowResStopwatch&) = default;
  LowResStopwatch& operator=(const LowResStopwatch&) = default;
  ~LowResStopwatch() override;

  bool IsRunning() const override;
  unsigned long long Elapsed_Ticks() const override;
  double Elapsed_s() const override;
  void Start() override;
  void Stop() override;
  bool IsHighResolution() const override;
  IStopwatch* Clone() const override;
  double TicksToSeconds(unsigned long long ticks) const override;
  unsigned long long SecondsToTicks(double seconds) const override;

 protected:
  static void Query(unsigned long long& ticks);

 private:
  unsigned long long _start = 0;
  unsigned long long _stop = 0;
  bool _running = false;
};

// Measures with the UTC system clock at millisecond precision, in 100 ns
// ticks. Follows changes of the wall clock; meant for wall-clock intervals.
// A failed read throws krException. No lock: one thread uses an object at a
// time (as IStopwatch).
class KRCORE_API SysTimeStopwatch : public IStopwatch {
 public:
  explicit SysTimeStopwatch(bool start = false);
  SysTimeStopwatch(const SysTimeStopwatch&) = default;
  SysTimeStopwatch& operator=(const SysTimeStopwatch&) = default;
  ~SysTimeStopwatch() override;

  bool IsRunning() const override;
  unsigned long long Elapsed_Ticks() const override;
  double Elapsed_s() const override;
  void Start() override;
  void Stop() override;
  bool IsHighResolution() const override;
  IStopwatch* Clone() const override;
  double TicksToSeconds(unsigned long long ticks) const override;
  unsigned long long SecondsToTicks(double seconds) const override;

 protected:
  static void Query(ULARGE_INTEGER& time);

 private:
  ULARGE_INTEGER _start{};
  ULARGE_INTEGER _stop{};
  bool _running = false;
};

// Runs a high- and a low-resolution stopwatch side by side and distrusts the
// high-resolution one when it is 0.5 s or more ahead of the tick count: then
// the tick count's value is returned and the leap-forward counter grows by
// one, on every read that meets such a leap. Ticks are milliseconds.
//
// Elapsed_s, Elapsed_Ticks and GetLeapForwardCounter may be called from
// several threads at once (the counter is changed atomically); everything
// else is for one thread at a time.
class KRCORE_API ElapsedStopwatch : public IStopwatch {
 public:
  // Throws krException when the frequency query fails; a frequency of 0
  // leaves the stopwatch on the tick count alone.
  explicit ElapsedStopwatch(bool start = false);
  ElapsedStopwatch(const ElapsedStopwatch&) = default;
  ElapsedStopwatch& operator=(const ElapsedStopwatch&) = default;
  ~ElapsedStopwatch() override;

  bool IsRunning() const override;
  unsigned long long Elapsed_Ticks() const override;
  double Elapsed_s() const override;
  void Start() override;
  void Stop() override;
  // True when the performance counter takes part (its frequency is not 0).
  bool IsHighResolution() const override;
  IStopwatch* Clone() const override;
  double TicksToSeconds(unsigned long long ticks) const override;
  unsigned long long SecondsToTicks(double seconds) const override;

  // How many reads found the performance counter leapt ahead.
  long GetLeapForwardCounter() const;

 private:
  HighResStopwatch _highRes;
  LowResStopwatch _lowRes;
  mutable long _leapForwardCounter = 0;
  bool _isHighResolution = false;
};

// The best stopwatch the system offers: the performance counter when it can
// be read, the tick count otherwise. Owns its implementation; copying clones
// it (one allocation), reading allocates nothing. Clone() returns a copy of
// the implementation, not a BestResStopwatch. No lock: one thread uses an
// object at a time (as IStopwatch); reads throw what the chosen clock throws.
class KRCORE_API BestResStopwatch : public IStopwatch {
 public:
  // Throws krException when the chosen clock cannot be set up.
  explicit BestResStopwatch(bool start = false);
  BestResStopwatch(const BestResStopwatch& other);
  BestResStopwatch& operator=(const BestResStopwatch& other);
  ~BestResStopwatch() override;

  bool IsRunning() const override;
  unsigned long long Elapsed_Ticks() const override;
  double Elapsed_s() const override;
  void Start() override;
  void Stop() override;
  bool IsHighResolution() const override;
  IStopwatch* Clone() const override;
  double TicksToSeconds(unsigned long long ticks) const override;
  unsigned long long SecondsToTicks(double seconds) const override;

 private:
  IStopwatch* _impl;
};

// The process uptime clock: a BestResStopwatch, constructed not running, that
// refuses to stop. Reading it from several threads at once is safe once it
// runs (a read only reads the clock); Start is for one thread, before the
// clock is shared.
class KRCORE_API ProcessStopwatch : public BestResStopwatch {
 public:
  ProcessStopwatch();
  ProcessStopwatch(const ProcessStopwatch&) = default;
  ProcessStopwatch& operator=(const ProcessStopwatch&) = default;
  ~ProcessStopwatch() override;

  // Never stops: logs at the normal level and throws w32_exception (code 1,
  // "ProcessStopwatch timer cannot be stopped!") every time.
  void Stop() override;
};

// A time-out that reports the time left: a started BestResStopwatch and a
// total. Used by one thread at a time; copying copies the stopwatch's state
// and the total. The constructors throw what BestResStopwatch throws
// (krException); the reads throw what its clock throws.
class KRCORE_API CountdownTimer_t {
 public:
  // Total in milliseconds; INFINITE (0xFFFFFFFF) stands for Infinite_s().
  explicit CountdownTimer_t(unsigned long total_ms);
  // Integer totals of up to 32 bits (DWORD time-outs, INFINITE, literals)
  // are milliseconds taken as a 32-bit unsigned value, as the platform's
  // DWORD is; without this they would be ambiguous between the other two.
  template <std::integral Int>
    requires(sizeof(Int) <= sizeof(DWORD) && !std::same_as<Int, bool>)
  explicit CountdownTimer_t(Int total_ms)
      : CountdownTimer_t(static_cast<unsigned long>(static_cast<DWORD>(total_ms))) {}
  // Total in seconds, taken as given.
  explicit CountdownTimer_t(double total_s);
  CountdownTimer_t(const CountdownTimer_t&) = default;
  CountdownTimer_t& operator=(const CountdownTimer_t&) = default;
  ~CountdownTimer_t();

  // The total that stands for an infinite wait: 3,660 days in seconds.
  static double Infinite_s();
  // Seconds since construction.
  double Elapsed_s() const;
  // Seconds left, never less than `minimum_s` (an expired timer reports the
  // minimum).
  double Left_s(double minimum_s) const;
  // Left_s in whole milliseconds (truncated), never less than `minimum_ms`.
  // Only the low 32 bits are returned, so an infinite total gives a value
  // of about 31 days: callers use it as one wait's time-out.
  unsigned long Left_ms(unsigned long minimum_ms) const;

 private:
  BestResStopwatch _stopwatch;
  double _total;
};

}  // namespace krCore
