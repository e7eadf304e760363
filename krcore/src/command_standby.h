// Internal: a stand-in for the command scheduler's thread, run by a thread
// of the scheduler's own pool while it watches for work.
//
// On a machine with few processors, and above all on a virtual machine, a
// thread may be held up for a millisecond or more: its processor runs
// another thread, or the hypervisor stops the virtual processor. When that
// happens to the scheduler's thread, every command due meanwhile waits. A
// pool thread that has just finished an item watches the queue for a while
// on whatever processor it runs on; the standby is the probe it asks (see
// work_queue.h). When the earliest command is more than kLag overdue, the
// standby takes the due commands and queues their work itself, exactly as
// the scheduler's thread would: both take and submit under one order lock,
// so that batches reach the queue in the order they were taken.
//
// The standby queues without blocking. Work it cannot queue (the queue is
// full) it hands over to the scheduler's thread, which submits it first at
// its next wake-up.
#pragma once

#include <krcore/threading.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "work_queue.h"

namespace krCore::detail {

class command_standby final : public idle_probe {
 public:
  explicit command_standby(CommandSchedulerImpl& scheduler) : _scheduler(scheduler) {}
  command_standby(const command_standby&) = delete;
  command_standby& operator=(const command_standby&) = delete;
  ~command_standby() { stop(); }

  // Starts standing by for the scheduler's thread, as the probe of `pool`'s
  // queue when the pool is one of the library's (another pool has no
  // watching threads); call once the pool and the stopwatch run.
  void start(IThreadpool& pool);
  // Stops standing by: returns once no pool thread is inside look() and
  // none takes commands any more. Safe to call more than once.
  void stop();

  // The order lock: the scheduler's thread holds it from taking its batch
  // until the batch is queued.
  std::unique_lock<std::mutex> order() { return std::unique_lock<std::mutex>(_order); }
  // Moves the work handed over by the standby to the front of `ready`.
  // Call with the order lock held.
  void take_handover(std::vector<std::shared_ptr<IThreadwork>>& ready);
  // Tells the standby the earliest waiting moment (-1 when none). A stale
  // value only costs a look at the tables.
  void publish(double earliest_s) { _due.store(earliest_s, std::memory_order_relaxed); }

  answer look() override;

 private:
  // How late the scheduler's thread may be before the standby takes over:
  // its wake-ups normally end within a few tens of microseconds.
  static constexpr double kLag_s = 50e-6;
  // How far ahead of a due moment the watching thread keeps watching.
  static constexpr double kAhead_s = 100e-6;

  CommandSchedulerImpl& _scheduler;
  std::mutex _order;
  std::atomic<double> _due{-1.0};
  std::atomic<bool> _on{false};
  IThreadpool* _pool = nullptr;    // set by start, under the order lock
  work_queue* _queue = nullptr;
  // Under the order lock: the batch being queued, and what the queue could
  // not take.
  std::vector<std::shared_ptr<IThreadwork>> _batch;
  std::vector<std::shared_ptr<IThreadwork>> _handover;
};

}  // namespace krCore::detail
