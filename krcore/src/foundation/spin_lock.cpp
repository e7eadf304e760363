// The contended half of spin_lock: spin while the holder is likely to be
// done soon, then sleep on the state word.
#include "foundation/spin_lock.h"

namespace krCore::detail {

namespace {

// About a microsecond of pauses: longer than a queue operation takes even
// with a cache miss or two, shorter than a system call round trip.
constexpr int kSpins = 100;

}  // namespace

void spin_lock::lock_contended() {
  for (int i = 0; i < kSpins; ++i) {
    cpu_relax();
    std::uint32_t state = _state.load(std::memory_order_relaxed);
    if (state == 0 &&
        _state.compare_exchange_weak(state, 1, std::memory_order_acquire, std::memory_order_relaxed))
      return;
    if (state == 2) break;  // somebody already sleeps: join the queue
  }
  // Marking the word 2 before sleeping makes the holder's release wake us;
  // the lock is taken in state 2, since other sleepers may remain.
  while (_state.exchange(2, std::memory_order_acquire) != 0) wait_on_address(&_state, 2);
}

}  // namespace krCore::detail
