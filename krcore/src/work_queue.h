// Internal: the bounded first-in first-out queue of a thread pool.
//
// Items wait in a deque under a lock; pool threads that find it empty sleep
// in the library's wait on a semaphore (with whatever other handles the pool
// adds), and a manual-reset room event is signalled while the queue has
// room. A submitter appends at once when the lock shows room (so the queue
// never passes its maximum, nor the semaphore its own) and sleeps on the room
// event only while the queue is full; the event is reset under the lock when
// the queue fills and signalled by the removal that makes room and by
// discard().
//
// The semaphore is released only for a thread that sleeps or is about to.
// Under the lock, a thread that found the queue empty registers as idle,
// and a submitter that appends claims one registration (if there is any)
// and releases one unit for it after unlocking; so no item is left without
// a thread, and a busy pool signals nothing per item. A thread that leaves
// the wait without using a unit withdraws one registration. Registrations
// are anonymous, so a thread may withdraw one whose unit was already
// released; that unit then wakes another sleeper or makes a later wait
// return at once to an empty queue, so that idle registrations plus
// released units always cover the threads that may sleep.
#pragma once

#include <krcore/threading.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace krCore::detail {

class work_queue {
 public:
  // At most `max_size` items wait (at least 1 is needed). Throws
  // semaphore_exception / eventexception when the objects cannot be created.
  explicit work_queue(unsigned int max_size);
  work_queue(const work_queue&) = delete;
  work_queue& operator=(const work_queue&) = delete;

  // Appends `work`, blocking while the queue is full, and wakes a sleeping
  // thread if there is one.
  void push(const std::shared_ptr<IThreadwork>& work);

  // Returns 0 at once when an item is queued (take it with pop, which may
  // still come back empty when another thread was quicker); otherwise waits
  // on `handles` (handles[0] must be items()) for at most `timeout_ms` and
  // returns the wait's result.
  DWORD wait_for_item(const HANDLE* handles, DWORD count, DWORD timeout_ms);

  // Removes and returns the front item, or empty when the queue is empty
  // (a thread may hold a unit for an item that discard() took).
  // `on_taken(item)` runs under the lock when there is one, so that a count
  // of running items never misses an item that left the queue.
  template <class OnTaken>
  std::shared_ptr<IThreadwork> pop(OnTaken&& on_taken) {
    std::shared_ptr<IThreadwork> work;
    bool was_full;
    {
      std::lock_guard<std::mutex> lock(_lock);
      if (_queue.empty()) return work;
      work = std::move(_queue.front());
      _queue.pop_front();
      __builtin_prefetch(work.get(), 1);  // the thread writes the item soon
      const unsigned int before = _queued.load(std::memory_order_relaxed);
      _queued.store(before - 1, std::memory_order_relaxed);  // written under the lock only
      was_full = before >= _max;
      on_taken(work);
    }
    if (was_full) _room.signal();
    return work;
  }
  std::shared_ptr<IThreadwork> pop() {
    return pop([](const std::shared_ptr<IThreadwork>&) {});
  }

  // The number of queued items, under the lock.
  unsigned int size() const;
  // The same without the lock (an estimate for decisions that re-check).
  unsigned int queued() const { return _queued.load(std::memory_order_seq_cst); }
  // Drops every queued item without running it, takes back the semaphore's
  // units and the idle registrations, and wakes blocked submitters. Only
  // while no pool thread runs.
  void discard();
  // The semaphore pool threads sleep on.
  void* items() { return static_cast<void*>(_items); }

 private:
  // The lock and the counts it guards share one cache line, so that a
  // submission or removal moves as few lines between cores as it can. The
  // item count is written under the lock only and read without it by
  // threads that look for work.
  alignas(64) mutable std::mutex _lock;  // a leaf lock: nothing runs under it but on_taken
  std::atomic<unsigned int> _queued{0};
  unsigned int _idle = 0;  // registrations not yet claimed
  const unsigned int _max;
  static_assert(sizeof(std::mutex) + 3 * sizeof(unsigned int) <= 64);
  std::deque<std::shared_ptr<IThreadwork>> _queue;
  semaphore _items;
  manualresetevent _room;
};

}  // namespace krCore::detail
