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
// standby takes the due commands and queues their work itself, as the
// scheduler's thread would (a dynamic pool grows for them as for any
// submission).
//
// Order: both take their batch under one order lock, and the scheduler's
// thread marks its batch in flight until every item is queued (its push may
// block on a full queue, which it does outside the lock); the standby takes
// nothing while a batch is in flight. So batches reach the queue in the
// order they were taken.
//
// The standby knows the scheduler only through the calls the scheduler gives
// it (its clock, its take of due commands, its wake-up), and the pool only
// through the pool's internal interface (detail::pool_base): the queue's
// hook calls down into the standby, never up into the scheduler's state.
//
// The standby never blocks on the queue. Work it cannot queue (the queue is
// full) it hands over to the scheduler's thread, which submits it first at
// its next wake-up. Handed-over work has left the tables: Remove and
// GetNextExecuteMoment do not see it.
#pragma once

#include <krcore/threading.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/spin_lock.h"
#include "threading/work_queue.h"

namespace krCore::detail {

class command_standby final : public idle_probe {
 public:
  // What the standby calls of its scheduler, from the scheduler's thread
  // and from the watching pool thread. `now` reads the scheduler's clock
  // (may throw); `take_due` takes every command due now out of the
  // scheduler's tables into the vector, under the scheduler's lock, and
  // returns the earliest moment left (-1 when none; throws what the tables
  // throw, with what was taken until then in the vector); `wake` wakes the
  // scheduler's thread.
  struct scheduler_calls {
    std::function<double()> now;
    std::function<double(std::vector<std::shared_ptr<IThreadwork>>&)> take_due;
    std::function<void()> wake;
  };

  explicit command_standby(scheduler_calls scheduler) : _scheduler(std::move(scheduler)) {}
  command_standby(const command_standby&) = delete;
  command_standby& operator=(const command_standby&) = delete;
  ~command_standby() { stop(); }

  // The pool whose watching threads stand in; without one, start() does
  // nothing. Set before the first start.
  void use_pool(pool_base& pool) { _pool = &pool; }
  // Starts standing by for the scheduler's thread, as the probe of the
  // pool's queue. Call once the pool and the scheduler's clock run.
  void start();
  // Stops standing by: returns once no pool thread is inside look(). Never
  // waits for the scheduler's thread. Safe to call more than once.
  void stop();

  // The scheduler thread's side of the order. Under the order lock, it moves
  // the handed-over work to the front of `ready` and marks a batch in
  // flight; it then takes its own batch, unlocks, submits, and ends the
  // batch with end_batch (also when submitting throws).
  std::unique_lock<spin_lock> begin_batch(std::vector<std::shared_ptr<IThreadwork>>& ready);
  // Takes the commands due now through the scheduler's take_due into
  // `ready` and publishes the new earliest moment. Call with the order lock
  // held. Throws what the take throws; what was taken until then is in
  // `ready`.
  void take_due(std::vector<std::shared_ptr<IThreadwork>>& ready) {
    publish(_scheduler.take_due(ready));
  }
  void end_batch() { _inFlight.store(false, std::memory_order_release); }
  // Tells the standby the earliest waiting moment (-1 when none). A stale
  // value only costs a look at the tables.
  void publish(double earliest_s) { _due.store(earliest_s, std::memory_order_relaxed); }

  answer look() noexcept override;

 private:
  // How late the scheduler's thread may be before the standby takes over:
  // its wake-ups normally end within a few tens of microseconds.
  static constexpr double kLag_s = 50e-6;
  // How far ahead of a due moment the watching thread keeps watching.
  static constexpr double kAhead_s = 100e-6;

  // Takes the due commands and queues them; the rest is handed over.
  answer take_and_queue();

  const scheduler_calls _scheduler;
  // A library lock like any other: a thread holding it is never ended by
  // force before it lets go (see kill_hold.h).
  spin_lock _order;
  std::atomic<double> _due{-1.0};
  std::atomic<bool> _on{false};
  std::atomic<bool> _inFlight{false};
  std::atomic<pool_base*> _installed{nullptr};  // the pool whose probe this is
  pool_base* _pool = nullptr;
  // Under the order lock: the batch being queued, and what the queue could
  // not take.
  std::vector<std::shared_ptr<IThreadwork>> _batch;
  std::vector<std::shared_ptr<IThreadwork>> _handover;
};

}  // namespace krCore::detail
