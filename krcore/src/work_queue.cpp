// The bounded queue of a thread pool: submission with its wait for room, and
// the discard of a stopped pool's items.
#include "work_queue.h"

#include <climits>

#include "waitable.h"

namespace krCore::detail {

// The semaphore's maximum is not the queue's: stale units may sit beside a
// full queue, and a release must never fail.
work_queue::work_queue(unsigned int max_size)
    : _max(max_size),
      _items(INT_MAX, 0, std::wstring()), _room(true, std::wstring()) {}

namespace {

// How often a thread that found the queue empty looks again before it
// sleeps: about a microsecond, enough to catch a submitter that is just
// behind without a system call on either side.
constexpr int kSpinsBeforeSleep = 64;

// Takes one idle registration; false when there is none.
bool take_one(std::atomic<unsigned int>& count) {
  unsigned int n = count.load(std::memory_order_seq_cst);
  while (n != 0)
    if (count.compare_exchange_weak(n, n - 1, std::memory_order_seq_cst)) return true;
  return false;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void work_queue::push(const std::shared_ptr<IThreadwork>& work) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(_lock);
      if (_queue.size() < _max) {
        _queue.push_back(work);
        const unsigned int now = _queued.load(std::memory_order_relaxed) + 1;
        _queued.store(now, std::memory_order_relaxed);
        if (now >= _max) _room.reset();
        break;
      }
    }
    HANDLE room = _room;
    wait_any(&room, 1, INFINITE);
  }
  // Orders the count written above before the look at the registrations;
  // a registering thread orders them the other way (wait_for_item).
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (take_one(_idle)) _items.release(1);
}

DWORD work_queue::wait_for_item(const HANDLE* handles, DWORD count, DWORD timeout_ms) {
  for (int i = 0; i < kSpinsBeforeSleep; ++i) {
    if (_queued.load(std::memory_order_relaxed) != 0) return 0;
    cpu_relax();
  }
  _idle.fetch_add(1, std::memory_order_seq_cst);
  // The item may have come meanwhile; when a submitter claimed a
  // registration already, the wait below takes its unit at once.
  if (queued() != 0 && take_one(_idle)) return 0;
  const DWORD result = wait_any(handles, count, timeout_ms);
  if (result != 0) take_one(_idle);
  return result;
}

unsigned int work_queue::size() const {
  std::lock_guard<std::mutex> lock(_lock);
  return static_cast<unsigned int>(_queue.size());
}

void work_queue::discard() {
  std::deque<std::shared_ptr<IThreadwork>> dropped;
  {
    std::lock_guard<std::mutex> lock(_lock);
    HANDLE items = _items;
    while (wait_any(&items, 1, 0) == kWaitObject0) {
    }
    dropped.swap(_queue);
    _queued.store(0, std::memory_order_seq_cst);
    _idle.store(0, std::memory_order_seq_cst);
    _room.signal();
  }
  // The items are released outside the lock: their destructors may be
  // anything, a submission included.
}

}  // namespace krCore::detail
