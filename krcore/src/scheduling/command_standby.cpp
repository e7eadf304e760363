// The command scheduler's standby on a watching pool thread: when to take
// over, the take through the scheduler's calls, and the queueing that never
// blocks a pool thread.
#include "scheduling/command_standby.h"

#include <utility>

namespace krCore::detail {

void command_standby::start() {
  if (!_pool) return;
  {
    const std::lock_guard<spin_lock> lock(_order);
    _inFlight.store(false, std::memory_order_relaxed);
    _on.store(true, std::memory_order_relaxed);
  }
  _installed.store(_pool);
  _pool->set_idle_probe(this);
}

void command_standby::stop() {
  _on.store(false, std::memory_order_relaxed);
  if (pool_base* pool = _installed.exchange(nullptr)) pool->set_idle_probe(nullptr);
}

std::unique_lock<spin_lock> command_standby::begin_batch(
    std::vector<std::shared_ptr<IThreadwork>>& ready) {
  std::unique_lock<spin_lock> lock(_order);
  ready.swap(_handover);  // `ready` arrives empty
  _inFlight.store(true, std::memory_order_relaxed);
  return lock;
}

idle_probe::answer command_standby::look() noexcept {
  const double due = _due.load(std::memory_order_relaxed);
  if (due < 0.0 || !_on.load(std::memory_order_relaxed)) return answer::none;
  try {
    const double now = _scheduler.now();
    if (now < due + kLag_s) return now + kAhead_s >= due ? answer::soon : answer::none;
    // The scheduler's thread may be taking or submitting its own batch.
    std::unique_lock<spin_lock> order(_order, std::try_to_lock);
    if (!order) return answer::soon;
    if (!_on.load(std::memory_order_relaxed) || !_pool->IsAlive()) return answer::none;
    // Handed-over work must reach the queue first: the scheduler's thread,
    // woken for it, submits it.
    if (_inFlight.load(std::memory_order_acquire) || !_handover.empty()) return answer::soon;
    return take_and_queue();
  } catch (...) {
    return answer::none;  // the clock failed: leave the work to the scheduler's thread
  }
}

idle_probe::answer command_standby::take_and_queue() {
  try {
    take_due(_batch);
  } catch (...) {
    // What was taken is queued below; the rest waits for the scheduler's
    // thread, which meets the same failure and reports it.
  }
  if (_batch.empty()) return answer::none;  // the published moment was stale
  std::size_t queued = 0;
  try {
    while (queued < _batch.size() && _pool->try_submit(_batch[queued])) ++queued;
  } catch (...) {
    // The item belongs to another pool, or the queue could not grow: the
    // scheduler's thread submits it and reports the failure.
  }
  // The rest, moved without allocating, becomes the handover.
  _batch.erase(_batch.begin(), _batch.begin() + static_cast<std::ptrdiff_t>(queued));
  if (!_batch.empty()) {
    _handover.swap(_batch);
    _scheduler.wake();
  }
  return queued ? answer::submitted : answer::soon;
}

}  // namespace krCore::detail
