// The process services: ProcessServices, the process's uptime stopwatch,
// its one shared command scheduler, a sequence counter and time stamps for
// file names.
#pragma once

#include <krcore/export.h>
#include <krcore/scheduler.h>
#include <krcore/singleton.h>
#include <krcore/timing.h>
#include <krcore/wintypes.h>

#include <atomic>
#include <string>

namespace krCore {

class ProcessServices;
KRCORE_LIBRARY_SINGLETON(ProcessServices);

// The process's shared services: the uptime stopwatch (running from the
// first instance()), one command scheduler made on demand, a sequence
// counter, and time stamps shaped for file names.
// Thread-safety: every operation may be called from any thread; only one
// scheduler is ever made. Lifetime: singleton<ProcessServices>::instance();
// the scheduler is never stopped or freed by the services (its owner, the
// host, shuts it down). Errors: instance() throws what the uptime
// stopwatch's constructor throws (krException); making the scheduler throws
// what CommandSchedulerDyn's constructor throws, and no scheduler is kept
// then; the other calls throw only std::bad_alloc.
class KRCORE_API ProcessServices : public singleton<ProcessServices> {
  friend class singleton<ProcessServices>;
  friend class singleton_base<ProcessServices>;

 public:
  // The uptime stopwatch (it refuses to stop).
  const IStopwatch& Stopwatch();
  // The scheduler; made here as CommandSchedulerDyn(min, max, queue) when
  // there is none (later arguments are ignored). Not started.
  ICommandScheduler& InitializeCommandScheduler(int min_threads, int max_threads,
                                                unsigned int max_queue_size);
  // The scheduler, or InitializeCommandScheduler(1, 32, 0x7FFFFFFF).
  ICommandScheduler& CommandScheduler();
  // The next value of the process counter (the first is 1).
  unsigned long NextCounter();
  // The local time as "YYYY-MM-DD_hh.mm.ss.mmm", with "." and NextCounter()
  // appended when `with_counter` (the default).
  std::wstring TimeAsFilename();
  std::wstring TimeAsFilename(bool with_counter);
  std::wstring TimeAsFilename(const SYSTEMTIME& time, bool with_counter);

 private:
  ProcessServices();
  ~ProcessServices() override;

  ProcessStopwatch _uptime;
  std::atomic<ICommandScheduler*> _scheduler{nullptr};
  std::atomic<unsigned long> _counter{0};
};

}  // namespace krCore
