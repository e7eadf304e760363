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
// The count is raised after a lock was taken and lowered after it was let
// go, so a thread that waits to take a lock can still be ended there. The
// logger's line lock is the exception: a thread waiting for it is counted
// in the lock's own word, so it is held off from the start of its wait
// (logging/line_gate.h).
#pragma once

#include <atomic>

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

// std::lock_guard for the library's own locks: the lock is held off from a
// forced end while it is held.
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
