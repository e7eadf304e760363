// Internal: what both thread pools do alike on their threads: run one work
// item under the exception rules for items, and write their log lines.
#pragma once

#include <krcore/diagnostics.h>
#include <krcore/logging.h>
#include <krcore/threading.h>


#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "diagnostics/guarded_call.h"
#include "foundation/compiler.h"
#include "logging/logline.h"
#include "foundation/waitable.h"
#include "logging/logsink.h"
#include "threading/native_thread.h"

namespace krCore::detail {

// Runs work.Execute(). False when it threw thread_shutdown_exception (the
// thread that ran it is to end); any other exception is handed to
// guard.Analyze(file, line) and counts as a return. The unwinding of an
// ending thread passes through (see guarded_call).
KRCORE_NO_SANITIZE_UNDEFINED inline bool execute_work(se_exception_initializer& guard,
                                                                IThreadwork& work, const char* file,
                                                                int line) {
  try {
    work.Execute();
  } catch (const thread_shutdown_exception&) {
    return false;
  }
  KRCORE_PASS_THREAD_END
  catch (...) {
    guard.Analyze(file, line);
  }
  return true;
}

// Writes one entry of `level` made of `parts` streamed in order, when the
// logger admits that level; nothing is formatted otherwise.
template <class... Parts>
void pool_log(unsigned level, Parts&&... parts) {
  if (!log_enabled(level)) return;
  basic_log_ostream<wchar_t> os(static_cast<logger::log_levels>(level));
  (os << ... << std::forward<Parts>(parts));
}

// The threads of a pool that a forced end could not end (terminate_thread
// answered 1460). Each is marked and ends at its next return to the pool,
// before the pool's code touches anything again; until then it may still
// run its item, and the item may use its pool. So the pool keeps them here,
// reports them from later shutdowns while they run, and does not go away
// before they have ended. Used under the pool's lifecycle lock; owns a
// handle of its own for each thread kept.
class marked_threads {
 public:
  marked_threads() = default;
  marked_threads(const marked_threads&) = delete;
  marked_threads& operator=(const marked_threads&) = delete;
  ~marked_threads() {
    for (HANDLE h : _threads) close_handle(h);
  }

  // Ends `thread` (whose id is `id`) by force; keeps it when that failed.
  // True when it has ended.
  bool end(HANDLE thread, unsigned long id) {
    if (terminate_thread(thread) == 0) return true;
    pool_log(kLogError, L"pool shutdown - thread ID [", id,
             L"] could not be ended; it ends as it returns from its work item");
    if (HANDLE own = duplicate_handle(thread)) _threads.push_back(own);
    return false;
  }
  // Waits up to `timeout_ms` for every kept thread and lets go of those
  // that ended; true when none is left running.
  bool join(unsigned long timeout_ms) {
    std::erase_if(_threads, [timeout_ms](HANDLE h) {
      if (wait_any(&h, 1, timeout_ms) != kWaitObject0) return false;
      close_handle(h);
      return true;
    });
    return _threads.empty();
  }
  // For the pool's destructor: waits for the kept threads without bound.
  // A thread whose item never returns keeps the destructor waiting, since
  // freeing the pool would let the item run on against freed memory.
  void join_all() {
    if (join(0)) return;
    pool_log(kLogError, L"pool destructor - waiting for [", _threads.size(),
             L"] thread(s) that could not be ended to return from their work items");
    join(INFINITE);
  }

 private:
  std::vector<HANDLE> _threads;
};

// Waits up to `timeout_ms` for a pool thread to end and ends it by force
// when it does not (keeping it in `marked` when that failed); true when it
// ended by itself.
inline bool join_or_end_thread(HANDLE thread, unsigned long id, unsigned long timeout_ms,
                               marked_threads& marked) {
  if (wait_any(&thread, 1, timeout_ms) == kWaitObject0) return true;
  marked.end(thread, id);
  return false;
}

// Which of the threads of one start got as far as their body. A pool thread
// reports once: entered() at the top of its body, or, when its wrapper
// returned or threw without running the body, enter_pool_thread reports it
// as failed. The start waits for every report, so that it counts only
// threads that run items. A thread a dynamic pool adds while it starts
// (growth) reports too and may end the wait early; that start then counts
// its table instead. Thread-safe.
class pool_launch {
 public:
  // Before a start releases `count` threads.
  void expect(int count) {
    _entered.store(0);
    _pending.store(count);
    if (count > 0)
      _done.reset();
    else
      _done.signal();
  }
  // On a pool thread, as its body begins.
  void entered() {
    t_body_entered = true;
    _entered.fetch_add(1);
    report(1);
  }
  // On a pool thread whose wrapper came back without running its body.
  void failed() { report(1); }
  // For threads of the start that were never created.
  void not_started(int count) {
    if (count > 0) report(count);
  }
  // Waits up to `ms` for the reports of the last expect(); returns the
  // threads that entered their body, plus those still unreported then.
  int wait(DWORD ms) {
    HANDLE done = _done;
    wait_any(&done, 1, ms);
    return _entered.load() + std::max(0, _pending.load());
  }
  // True once, on a thread that called entered() since the last call.
  static bool body_was_entered() { return std::exchange(t_body_entered, false); }

  // The pool's threads that a shutdown could not end: kept with the launch
  // record, which lives as long as the pool.
  marked_threads not_ended;

 private:
  void report(int count) {
    if (_pending.fetch_sub(count) == count) _done.signal();
  }
  static inline thread_local bool t_body_entered = false;
  std::atomic<int> _pending{0};
  std::atomic<int> _entered{0};
  manualresetevent _done;
};

// Enters a pool thread's body through the pool class's wrapper, when one is
// installed (read once, at the thread's start). The wrapper is host code:
// what it throws is analysed and logged (as `file`, `line`) instead of
// ending the process. When the body did not run (the wrapper threw first, or
// returned without calling it), `no_body()` lets the pool forget the thread,
// and the launch counts it as failed; the thread then ends (as it does,
// with the code, when it cannot set up its fault translation).
template <class NoBody>
KRCORE_NO_SANITIZE_UNDEFINED unsigned int enter_pool_thread(
    const std::atomic<threadpool_wrapper_t>& wrapper, const std::atomic<void*>& param,
    threadpool_body_t body, void* argument, pool_launch& launch, const char* file, int line,
    NoBody&& no_body) {
  unsigned int result = 0;
  bool threw = true;
  {
    // A thread that cannot translate its faults runs no items: it is left
    // out of the pool.
    std::optional<se_exception_initializer> guard;
    if (const unsigned long code = make_thread_guard(guard, file); code != 0 || !guard) {
      no_body();
      launch.failed();
      return static_cast<unsigned int>(code);
    }
    guarded_call(*guard, file, line, [&] {
      threadpool_wrapper_t func = wrapper.load();
      result = func ? func(body, argument, param.load()) : body(argument);
      threw = false;
    });
  }
  if (pool_launch::body_was_entered()) return threw ? 1u : result;
  pool_log(kLogError, file,
           threw ? L"::threadfunc - the thread wrapper threw before it ran the thread's body"
                 : L"::threadfunc - the thread wrapper returned without running the thread's body",
           L", thread ID [", current_thread_id(), L"]; the thread ends");
  no_body();
  launch.failed();
  return 1;
}

}  // namespace krCore::detail
