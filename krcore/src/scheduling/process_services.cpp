// ProcessServices: the process's uptime stopwatch, its one command scheduler,
// its sequence counter and time stamps shaped for file names.
#include <krcore/threading.h>

#include <iomanip>
#include <sstream>

#include "time/filetime.h"

namespace krCore {

KRCORE_LIBRARY_SINGLETON_DEFINITION(ProcessServices);

ProcessServices::ProcessServices() { _uptime.Start(); }

// The scheduler is left in place: its threads may still run work for a host
// that is ending, and it ends with the process.
ProcessServices::~ProcessServices() = default;

const IStopwatch& ProcessServices::Stopwatch() { return _uptime; }

ICommandScheduler& ProcessServices::InitializeCommandScheduler(int min_threads, int max_threads,
                                                               unsigned int max_queue_size) {
  if (ICommandScheduler* existing = _scheduler.load(std::memory_order_acquire)) return *existing;
  auto_lock lock(singleton_base<ProcessServices>::_cs);
  if (ICommandScheduler* existing = _scheduler.load(std::memory_order_acquire)) return *existing;
  ICommandScheduler* made = new CommandSchedulerDyn(min_threads, max_threads, max_queue_size);
  _scheduler.exchange(made, std::memory_order_acq_rel);
  return *made;
}

ICommandScheduler& ProcessServices::CommandScheduler() {
  if (ICommandScheduler* existing = _scheduler.load(std::memory_order_acquire)) return *existing;
  return InitializeCommandScheduler(1, 32, 0x7FFFFFFF);
}

unsigned long ProcessServices::NextCounter() { return _counter.fetch_add(1) + 1; }

std::wstring ProcessServices::TimeAsFilename() { return TimeAsFilename(true); }

std::wstring ProcessServices::TimeAsFilename(bool with_counter) {
  SYSTEMTIME now;
  detail::get_local_time(now);
  return TimeAsFilename(now, with_counter);
}

std::wstring ProcessServices::TimeAsFilename(const SYSTEMTIME& time, bool with_counter) {
  std::wostringstream text;
  text << std::dec << std::setfill(L'0') << std::setw(4) << time.wYear << L'-' << std::setw(2)
       << time.wMonth << L'-' << std::setw(2) << time.wDay << L'_' << std::setw(2) << time.wHour
       << L'.' << std::setw(2) << time.wMinute << L'.' << std::setw(2) << time.wSecond << L'.'
       << std::setw(3) << time.wMilliseconds;
  if (with_counter) text << L'.' << NextCounter();
  return text.str();
}

}  // namespace krCore
