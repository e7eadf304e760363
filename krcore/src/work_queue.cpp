// The bounded queue of a thread pool: submission with its wait for room, and
// the discard of a stopped pool's items.
#include "work_queue.h"

#include <climits>

#include "waitable.h"

namespace krCore::detail {

// The semaphore's maximum is not the queue's: stale units may sit beside a
// full queue, and a release must never fail.
work_queue::work_queue(unsigned int max_size)
    : _max(max_size), _items(INT_MAX, 0, std::wstring()), _room(true, std::wstring()) {}

namespace {

// How often a thread that found the queue empty looks again before it
// sleeps: about a microsecond, enough to catch a submitter that is just
// behind without a system call on either side.
constexpr int kSpinsBeforeSleep = 64;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void work_queue::push(const std::shared_ptr<IThreadwork>& work) {
  bool wake = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(_lock);
      if (_queue.size() < _max) {
        _queue.push_back(work);
        const unsigned int now = _queued.load(std::memory_order_relaxed) + 1;
        _queued.store(now, std::memory_order_relaxed);
        if (now >= _max) _room.reset();
        wake = _idle != 0;
        if (wake) --_idle;
        break;
      }
    }
    HANDLE room = _room;
    wait_any(&room, 1, INFINITE);
  }
  if (wake) _items.release(1);
}

DWORD work_queue::wait_for_item(const HANDLE* handles, DWORD count, DWORD timeout_ms) {
  for (int i = 0; i < kSpinsBeforeSleep; ++i) {
    if (_queued.load(std::memory_order_relaxed) != 0) return 0;
    cpu_relax();
  }
  {
    std::lock_guard<std::mutex> lock(_lock);
    if (!_queue.empty()) return 0;
    ++_idle;
  }
  const DWORD result = wait_any(handles, count, timeout_ms);
  if (result != 0) {
    std::lock_guard<std::mutex> lock(_lock);
    if (_idle != 0) --_idle;
  }
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
    _queued.store(0, std::memory_order_relaxed);
    _idle = 0;
    _room.signal();
  }
  // The items are released outside the lock: their destructors may be
  // anything, a submission included.
}

}  // namespace krCore::detail
