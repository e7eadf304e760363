// Internal: the logger's lock, which also counts the threads on their way
// through it.
//
// Every line takes the logger's lock once, and the lock's own atomic
// operations are a good part of what a line costs besides its write. This
// lock keeps in one word whether it is held, whether a thread sleeps on it,
// and how many threads are between the start of lock() and the end of
// unlock(), so that taking a free lock and counting oneself in is a single
// compare-and-swap, and letting go and counting oneself out a single
// subtraction. The count tells the thread that queued a line whether another
// line is about to join the queue (see log_file_writer::claim_own).
//
// Recursive, as the logger needs it to be: the settings report and the
// logger's callback log through the logger while they hold the lock. The
// owner is recognised without an atomic operation, by the address of a
// thread-local.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/compiler.h"
#include "foundation/internal.h"
#include "foundation/kill_hold.h"

namespace krCore::detail {

// One byte per thread; its address tells the lock's owner apart.
extern constinit KRCORE_TLS_INITIAL_EXEC thread_local char t_line_gate_tag;

// Thread-safety: lock and unlock from any thread; unlock only by the owner.
// A thread counts as a held region (kill_hold.h) from the start of its
// outermost lock() to the end of the matching unlock(), waiting included:
// its arrival is counted in the lock's word, and a thread ended before it
// counted itself out would make every later line think another one is on
// its way. Not fair. Never throws.
class KRCORE_INTERNAL line_gate {
 public:
  line_gate() = default;
  line_gate(const line_gate&) = delete;
  line_gate& operator=(const line_gate&) = delete;

  void lock() {
    const void* const self = &t_line_gate_tag;
    if (_owner.load(std::memory_order_relaxed) == self) {
      ++_depth;
      return;
    }
    enter_kill_hold();
    std::uint32_t free = 0;
    if (!_state.compare_exchange_strong(free, kArrival | kHeld, std::memory_order_acquire,
                                        std::memory_order_relaxed))
      lock_contended();
    _owner.store(self, std::memory_order_relaxed);
    _depth = 1;
  }

  void unlock() {
    if (--_depth != 0) return;
    _owner.store(nullptr, std::memory_order_relaxed);
    const std::uint32_t before = _state.fetch_sub(kArrival | kHeld, std::memory_order_release);
    if ((before & kSleepers) != 0) wake_sleeper();
    leave_kill_hold();
  }

  // True when a thread other than the calling owner is on its way through
  // the lock (it may already be past the point of queueing a line). Call
  // with the lock held.
  bool others_arriving() const { return _state.load(std::memory_order_relaxed) >= 2 * kArrival; }
  // True when the owner holds the lock more than once (a line logged from
  // the settings report or a callback). Call with the lock held.
  bool nested() const { return _depth > 1; }
  // In a fork child, with the lock held by the calling (the only) thread:
  // forgets the threads that were counted on their way, the parent's.
  void forget_other_threads() { _state.store(kArrival | kHeld, std::memory_order_relaxed); }

 private:
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kSleepers = 2;
  static constexpr std::uint32_t kArrival = 4;

  void lock_contended();
  void wake_sleeper();

  // kHeld | kSleepers | arrivals * kArrival.
  std::atomic<std::uint32_t> _state{0};
  // The holder's tag; written by the holder alone, so a thread that reads
  // its own tag here holds the lock.
  std::atomic<const void*> _owner{nullptr};
  // How often the holder holds the lock; touched by the holder alone.
  unsigned _depth = 0;
};

}  // namespace krCore::detail
