// Internal: a lock for critical sections of a few dozen instructions that
// two cores take in turn at a high rate (a pool's queue).
//
// A plain futex mutex sends every contended acquisition to sleep, and its
// release then costs a wake-up system call; with sections this short the
// holder is almost always done within a few hundred cycles. This lock spins
// that long first and sleeps only when the holder really is away (preempted,
// or the machine is oversubscribed). The state word is 0 (free), 1 (held) or
// 2 (held, a sleeper may wait); only a release of state 2 wakes anybody.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/compiler.h"
#include "foundation/internal.h"
#include "foundation/kill_hold.h"

namespace krCore::detail {

// A hint to the processor that the caller is spinning.
inline void cpu_relax() { KRCORE_CPU_RELAX(); }

// True when the process may run on more than one processor. Only then can
// a thread that spins see another thread make progress meanwhile.
KRCORE_INTERNAL bool several_processors();

// Sleeps while *word holds `expected` (it may return early, or at once when
// the word already differs); wakes one or all sleepers on `word`.
// Process-private. The system's own wait on an address, never
// std::atomic::wait: where the C++ runtime has no such wait of its own (the
// MinGW runtime), its stand-in can lose a wake-up that comes between its
// check of the word and its sleep, and the sleeper then sleeps for good.
void wait_on_address(std::atomic<std::uint32_t>* word, std::uint32_t expected);
void wake_one_on_address(std::atomic<std::uint32_t>* word);
void wake_all_on_address(std::atomic<std::uint32_t>* word);

// A non-recursive lock with the std::mutex interface (usable with
// std::lock_guard). Not fair: a thread that just released it may take it
// again ahead of a spinner, which keeps a busy owner's cache line warm.
class spin_lock {
 public:
  spin_lock() = default;
  spin_lock(const spin_lock&) = delete;
  spin_lock& operator=(const spin_lock&) = delete;

  // A held lock holds off a forced end of its holder (see kill_hold.h).
  void lock() {
    std::uint32_t free = 0;
    if (!_state.compare_exchange_strong(free, 1, std::memory_order_acquire)) lock_contended();
    enter_kill_hold();
  }
  bool try_lock() {
    std::uint32_t free = 0;
    if (!_state.compare_exchange_strong(free, 1, std::memory_order_acquire)) return false;
    enter_kill_hold();
    return true;
  }
  void unlock() {
    if (_state.exchange(0, std::memory_order_release) == 2) wake_one_on_address(&_state);
    leave_kill_hold();
  }

 private:
  void lock_contended();
  std::atomic<std::uint32_t> _state{0};
};

}  // namespace krCore::detail
