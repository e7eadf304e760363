// Internal: the regions in which a thread must not be ended by force.
//
// A thread ended while it holds one of the library's locks (or the log
// writer's ownership of its file) would leave it held for good, and every
// later caller would wait forever. So the library counts, per thread, the
// locks and regions it is inside; the forced end (threading/linux) looks at
// the count, and a thread asked to end while the count is above 0 is only
// marked. The thread ends itself as soon as the count drops to 0, before it
// runs another line of its own code.
//
// Every lock of the library counts itself: the plain ones are
// library_mutex (below), or held through held_lock where an exported class
// fixes the lock's type; critical_section, spin_lock and the logger's line
// gate are the special ones. tests/foundation checks that no other kind of
// lock appears in the sources.
//
// The count is raised after a lock was taken and lowered after it was let
// go, so a thread that waits to take a lock can still be ended there. The
// logger's line lock is the exception: a thread waiting for it is counted
// in the lock's own word, so it is held off from the start of its wait
// (logging/line_gate.h).
#pragma once

#include <atomic>
#include <mutex>

#include "foundation/compiler.h"
#include "foundation/internal.h"

namespace krCore::detail {

// The calling thread's count of held regions, and whether a forced end came
// while it was above 0. Initial-exec TLS, read by the signal handler that
// ends threads.
extern constinit KRCORE_TLS_INITIAL_EXEC thread_local unsigned t_kill_hold;
extern constinit KRCORE_TLS_INITIAL_EXEC thread_local bool t_kill_held_off;

// Ends the calling thread for the forced end it held off (threading/linux).
KRCORE_INTERNAL void end_held_off_kill();

inline void enter_kill_hold() {
  ++t_kill_hold;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline void leave_kill_hold() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (--t_kill_hold == 0) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (t_kill_held_off) end_held_off_kill();
  }
}

// Holds off a forced end of the calling thread for its scope.
class kill_hold {
 public:
  kill_hold() { enter_kill_hold(); }
  ~kill_hold() { leave_kill_hold(); }
  kill_hold(const kill_hold&) = delete;
  kill_hold& operator=(const kill_hold&) = delete;
};

// A thread's one-shot probe, run by the next library_mutex it takes, right
// after taking it (and cleared before it runs). Lets a test stop a thread
// inside whichever lock an operation takes first; null in normal use.
using lock_probe = void (*)();
extern constinit KRCORE_TLS_INITIAL_EXEC thread_local lock_probe t_lock_probe;

// The library's lock: every lock of the library is one of these (or one of
// the special locks that count themselves: critical_section, spin_lock, the
// logger's line gate). A std::mutex whose holder is held off from a forced
// end from the moment it has the lock until it lets go. Use it with
// std::lock_guard or std::unique_lock. Not recursive; never throws from
// unlock().
class library_mutex {
 public:
  library_mutex() noexcept = default;  // constexpr where std::mutex's is
  library_mutex(const library_mutex&) = delete;
  library_mutex& operator=(const library_mutex&) = delete;

  void lock() {
    _mutex.lock();
    enter_kill_hold();
    if (t_lock_probe != nullptr) [[unlikely]]
      run_probe();
  }
  bool try_lock() {
    if (!_mutex.try_lock()) return false;
    enter_kill_hold();
    return true;
  }
  void unlock() {
    _mutex.unlock();
    leave_kill_hold();
  }
  // The lock without the count, for code that runs as its thread ends, when
  // the thread's thread-local storage (which holds the count) may be gone
  // already: a thread that far on its way out is not ended by force.
  void lock_uncounted() { _mutex.lock(); }
  void unlock_uncounted() { _mutex.unlock(); }

 private:
  static void run_probe() {
    const lock_probe probe = t_lock_probe;
    t_lock_probe = nullptr;
    probe();
  }
  std::mutex _mutex;
};

// std::lock_guard for a plain lock whose type is not the library's to choose
// (a member of an exported class): held off from a forced end while held,
// like library_mutex.
template <class Lock>
class held_lock {
 public:
  explicit held_lock(Lock& lock) : _lock(lock) {
    _lock.lock();
    enter_kill_hold();
  }
  ~held_lock() {
    _lock.unlock();
    leave_kill_hold();
  }
  held_lock(const held_lock&) = delete;
  held_lock& operator=(const held_lock&) = delete;

 private:
  Lock& _lock;
};

}  // namespace krCore::detail
