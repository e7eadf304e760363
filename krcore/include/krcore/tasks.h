// Small conveniences over the pools and the scheduler for code that thinks
// in callables: `submit` runs a callable on a pool and hands back a future
// of its result, and `run_every` runs one on a scheduler at a fixed period
// until cancelled. Both are written on the public interfaces only (work
// items derived from threadwork), so they work with any pool and any
// scheduler, the process services' included.
#pragma once

#include <krcore/exceptions.h>
#include <krcore/scheduler.h>
#include <krcore/sync.h>
#include <krcore/thread_pool.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace krCore {

namespace detail {

// The work item behind submit: runs the task once.
template <class R>
class task_work : public threadwork {
 public:
  explicit task_work(std::packaged_task<R()> task) : _task(std::move(task)) {}
  void Execute() override { _task(); }

 private:
  std::packaged_task<R()> _task;
};

}  // namespace detail

// Queues `fn` on `pool` and returns the future of its result: the value it
// returns, or the exception it throws (which thus never reaches the pool).
// The future waits as any std::future does; a pool shut down before the
// item ran discards it, and the future then holds std::future_error
// (broken_promise) instead of waiting forever.
// Errors: what the pool's submitwork throws (threadpool_shutdown_exception
// for a pool that is not running; it blocks while the pool's queue is
// full), and std::bad_alloc. Thread-safety: as the pool's submitwork.
// Lifetime: the pool keeps the callable until it ran or was discarded.
template <class F>
auto submit(IThreadpool& pool, F&& fn) -> std::future<std::invoke_result_t<std::decay_t<F>&>> {
  using R = std::invoke_result_t<std::decay_t<F>&>;
  std::packaged_task<R()> task(std::forward<F>(fn));
  std::future<R> result = task.get_future();
  pool.submitwork(std::make_shared<detail::task_work<R>>(std::move(task)));
  return result;
}

// A command that runs on a scheduler every `period` seconds (see run_every).
// Thread-safety: cancel may be called from any thread, the command's own
// runs included. Lifetime: the scheduler keeps the command while it is
// scheduled; the caller's pointer is only for cancel and runs.
class periodic_command : public threadwork,
                         public std::enable_shared_from_this<periodic_command> {
 public:
  periodic_command(ICommandScheduler& scheduler, double period_s, std::function<void()> fn)
      : _scheduler(scheduler), _period(period_s), _fn(std::move(fn)) {}

  // Stops the runs: none starts after cancel returns (one that already
  // began finishes), and the scheduled next run is removed from the
  // scheduler. Idempotent.
  void cancel() {
    std::wstring id;
    {
      const std::lock_guard<critical_section> lock(_cs);
      _cancelled.store(true);
      id.swap(_next);
    }
    if (!id.empty()) (void)_scheduler.Remove(id);
  }
  bool cancelled() const { return _cancelled.load(); }
  // How many runs began.
  long runs() const { return _runs.load(); }

  // One run, then the next one is scheduled `period` seconds later, also
  // when the callable throws (the exception then goes on to the pool, which
  // handles it as any work item's). When the scheduler refuses the next run
  // (it is shutting down), the command counts as cancelled.
  void Execute() override {
    if (_cancelled.load()) return;
    struct next_run {
      periodic_command& self;
      // A scheduler that is shutting down takes no more commands: the
      // runs end there, as they would at a cancel.
      ~next_run() {
        try {
          self.schedule();
        } catch (...) {
          self._cancelled.store(true);
        }
      }
    } next{*this};
    _runs.fetch_add(1);
    _fn();
  }

  // Schedules the next run unless cancelled. Used by run_every for the
  // first run.
  void schedule() {
    if (_cancelled.load()) return;
    std::wstring id = _scheduler.AddDelay(_period, shared_from_this());
    {
      const std::lock_guard<critical_section> lock(_cs);
      // Kept for cancel, unless a cancel came meanwhile and found nothing
      // to remove: then it is removed here.
      if (!_cancelled.load()) {
        _next.swap(id);
        return;
      }
    }
    (void)_scheduler.Remove(id);
  }

 private:
  ICommandScheduler& _scheduler;
  const double _period;
  std::function<void()> _fn;
  std::atomic<bool> _cancelled{false};
  std::atomic<long> _runs{0};
  critical_section _cs;  // guards _next and the cancel that takes it
  std::wstring _next;    // the scheduled run's id
};

// Runs `fn` on `scheduler`'s pool every `period_s` seconds, the first run
// `period_s` seconds from now, until the returned command is cancelled. The
// period counts from the end of one run to the start of the next, so runs
// never overlap. Errors: w32_exception with ERROR_INVALID_PARAMETER for a
// period that is not a positive finite number of seconds (0 would run the
// command back to back for ever) or an empty callable; what the
// scheduler's AddDelay throws; std::bad_alloc. Thread-safety: as AddDelay.
inline std::shared_ptr<periodic_command> run_every(ICommandScheduler& scheduler, double period_s,
                                                   std::function<void()> fn) {
  if (!(period_s > 0.0) || !std::isfinite(period_s))
    throw w32_exception(L"run_every: the period must be a positive, finite number of seconds",
                        ERROR_INVALID_PARAMETER);
  if (!fn) throw w32_exception(L"run_every: a command needs a callable", ERROR_INVALID_PARAMETER);
  auto command = std::make_shared<periodic_command>(scheduler, period_s, std::move(fn));
  command->schedule();
  return command;
}

}  // namespace krCore
