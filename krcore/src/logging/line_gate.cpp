// The contended half of line_gate: spin while the holder is likely to be
// done soon, then sleep on the lock's word.
#include "logging/line_gate.h"

#include "foundation/compiler.h"
#include "foundation/spin_lock.h"

namespace krCore::detail {

constinit KRCORE_TLS_INITIAL_EXEC thread_local char t_line_gate_tag = 0;

namespace {

// The lock is held for a line's encoding, some hundreds of nanoseconds:
// spin about that long before sleeping, since falling asleep and being woken
// costs more.
constexpr int kSpins = 100;

}  // namespace

void line_gate::lock_contended() {
  std::uint32_t state = _state.fetch_add(kArrival, std::memory_order_relaxed) + kArrival;
  const int spins = several_processors() ? kSpins : 0;
  for (int spin = 0; spin < spins; ++spin) {
    if ((state & kHeld) == 0) {
      if (_state.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      // Lost the lock to a thread that took it in the moment it was free,
      // most likely the one that just let it go, with its next line. Two
      // threads that both keep spinning then hand the lock over at every
      // line, and each hand-over moves its cache line between processors:
      // several times slower than one thread running on while the other
      // sleeps.
      if ((state & kHeld) != 0) break;
    }
    cpu_relax();
    state = _state.load(std::memory_order_relaxed);
  }
  // A thread back from a sleep cannot know whether others still sleep, so
  // it takes the lock with the mark set: its unlock then wakes the next one.
  std::uint32_t mark = 0;
  for (;;) {
    state = _state.load(std::memory_order_relaxed);
    if ((state & kHeld) == 0) {
      if (_state.compare_exchange_weak(state, state | kHeld | mark, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      continue;
    }
    // Marking the word makes the holder's unlock wake us. The word changes
    // with every arrival, so the sleep may end early; the loop looks again.
    if ((state & kSleepers) == 0 &&
        !_state.compare_exchange_weak(state, state | kSleepers, std::memory_order_relaxed))
      continue;
    wait_on_address(&_state, state | kSleepers);
    mark = kSleepers;
  }
}

void line_gate::wake_sleeper() {
  // One sleeper wakes: waking them all would have every one that loses the
  // lock mark the word again, and every later unlock wake them all again.
  // The one woken takes the lock with the mark (or marks the word again if
  // it finds the lock held), so the others are woken in turn. Cleared
  // before the wake, so a sleeper that marked it in between is woken or
  // finds the word changed.
  _state.fetch_and(~kSleepers, std::memory_order_relaxed);
  wake_one_on_address(&_state);
}

}  // namespace krCore::detail
