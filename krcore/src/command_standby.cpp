// The command scheduler's standby on a watching pool thread: when to take
// over, the take under the scheduler's locks, and the queueing that never
// blocks a pool thread.
#include "command_standby.h"

#include <utility>

#include "command_tables.h"
#include "pool_work.h"

namespace krCore::detail {

// The queue behind one of the library's pools; null for any other pool.
struct pool_access {
  static work_queue* queue_of(IThreadpool& pool) {
    if (auto* fixed = dynamic_cast<threadpool*>(&pool)) return fixed->_queue.get();
    if (auto* dynamic = dynamic_cast<ThreadpoolDynamic*>(&pool)) return dynamic->_queue.get();
    return nullptr;
  }
};

void command_standby::start(IThreadpool& pool) {
  work_queue* queue = pool_access::queue_of(pool);
  if (!queue) return;
  {
    std::lock_guard<std::mutex> lock(_order);
    _pool = &pool;
    _queue = queue;
    _on.store(true, std::memory_order_relaxed);
  }
  queue->set_idle_probe(this);
}

void command_standby::stop() {
  work_queue* queue;
  {
    std::lock_guard<std::mutex> lock(_order);
    _on.store(false, std::memory_order_relaxed);
    queue = std::exchange(_queue, nullptr);
  }
  if (queue) queue->set_idle_probe(nullptr);
}

void command_standby::take_handover(std::vector<std::shared_ptr<IThreadwork>>& ready) {
  if (_handover.empty()) return;
  ready.insert(ready.begin(), std::make_move_iterator(_handover.begin()),
               std::make_move_iterator(_handover.end()));
  _handover.clear();
}

idle_probe::answer command_standby::look() {
  const double due = _due.load(std::memory_order_relaxed);
  if (due < 0.0 || !_on.load(std::memory_order_relaxed)) return answer::none;
  const double now = _scheduler.Now();
  if (now < due + kLag_s) return now + kAhead_s >= due ? answer::soon : answer::none;
  // The scheduler's thread may be taking its own batch right now.
  std::unique_lock<std::mutex> order(_order, std::try_to_lock);
  if (!order) return answer::soon;
  if (!_on.load(std::memory_order_relaxed)) return answer::none;
  // Work handed over earlier must reach the queue first: the scheduler's
  // thread, woken for it, submits it.
  if (!_handover.empty()) return answer::soon;
  try {
    auto_lock lock(_scheduler._lock);
    _scheduler._tables->take_due(_scheduler.Now(), _batch);
    publish(_scheduler._tables->earliest());
  } catch (...) {
    // What was taken is queued below; the rest waits for the scheduler's
    // thread, which will meet the same failure and report it.
  }
  if (_batch.empty()) return answer::none;  // the published moment was stale
  std::size_t queued = 0;
  try {
    for (; queued < _batch.size(); ++queued) {
      _batch[queued]->SetThreadpoolPtr(_pool);
      if (!_queue->try_push(_batch[queued])) break;
    }
  } catch (...) {
    // The item belongs to another pool, or a segment could not be
    // allocated: the scheduler's thread submits it and reports the failure.
  }
  if (queued < _batch.size()) {
    _handover.assign(std::make_move_iterator(_batch.begin() + static_cast<std::ptrdiff_t>(queued)),
                     std::make_move_iterator(_batch.end()));
    _scheduler.Wakeup();
  }
  const std::size_t taken = _batch.size();
  _batch.clear();
  order.unlock();
  pool_log(kLogVerbose, L"CommandSchedulerImpl - a pool thread took [", taken,
           L"] due command(s) while the scheduler thread was held up");
  return queued ? answer::submitted : answer::soon;
}

}  // namespace krCore::detail
