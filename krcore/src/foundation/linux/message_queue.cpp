// Per-thread message queues: posting to a thread id, peeking, and the wait
// for handles or input.
//
// A thread's queue is made on its first peek or wait and registered under the
// thread's id; a thread-local holder unregisters it when the thread ends, so
// a post to an ended thread fails as it does for an unknown id. The queue is
// a waitable object: its futex word counts posts, so the ordinary wait-any
// sleeps on it beside the caller's handles and a post wakes the owner like
// any signal. "New input" is a post count the owner has not yet seen through
// a peek or a wait that reported input.
#include <krcore/foundation.h>

#include <deque>
#include <mutex>
#include <unordered_map>

#include "foundation/kill_hold.h"
#include "time/clocks.h"
#include "foundation/errors.h"
#include "foundation/waitable.h"
#include "foundation/linux/object.h"

namespace krCore::detail {
namespace {

// The most messages one queue holds; posts beyond it fail instead of letting
// a stuck receiver grow without bound.
constexpr std::size_t kQueueLimit = 10000;

class message_queue final : public waitable {
 public:
  object_kind kind() const override { return object_kind::message_queue; }
  std::atomic<std::uint32_t>& waiters() override { return _waiters; }

  // Only the owner thread waits on its queue and reads `_seen`.
  take_result try_take() override {
    const std::uint32_t posted = _posted.load(std::memory_order_acquire);
    if (posted == _seen) return take_result::busy;
    _seen = posted;
    return take_result::taken;
  }

  bool prepare(sleep_slot& slot) override {
    const std::uint32_t posted = _posted.load(std::memory_order_seq_cst);
    if (posted != _seen) return false;
    slot = {&_posted, posted, false};
    return true;
  }

  unsigned long post(const MSG& msg) {
    {
      std::lock_guard<library_mutex> lock(_lock);
      if (_messages.size() >= kQueueLimit) return kErrorNotEnoughQuota;
      _messages.push_back(msg);
      _posted.fetch_add(1, std::memory_order_seq_cst);
    }
    if (_waiters.load(std::memory_order_seq_cst) != 0) futex_wake(&_posted, 1, false);
    return 0;
  }

  bool peek(MSG* out, UINT first, UINT last, bool remove) {
    std::lock_guard<library_mutex> lock(_lock);
    _seen = _posted.load(std::memory_order_relaxed);
    for (auto it = _messages.begin(); it != _messages.end(); ++it) {
      if ((first != 0 || last != 0) && (it->message < first || it->message > last)) continue;
      *out = *it;
      if (remove) _messages.erase(it);
      return true;
    }
    return false;
  }

 private:
  library_mutex _lock;
  std::deque<MSG> _messages;
  std::atomic<std::uint32_t> _posted{0};
  std::atomic<std::uint32_t> _waiters{0};
  std::uint32_t _seen = 0;
};

// Queues by thread id. Each entry holds one reference. Never destroyed:
// threads may post while the process exits.
struct queue_registry {
  library_mutex lock;
  std::unordered_map<DWORD, message_queue*> queues;
};

queue_registry& registry() {
  static auto* r = new queue_registry;
  return *r;
}

// The calling thread's queue. Its handle holds the object for the wait; the
// registry entry goes when the thread ends.
struct own_queue {
  message_queue* queue = nullptr;
  HANDLE handle = nullptr;

  ~own_queue() {
    if (!queue) return;
    queue_registry& r = registry();
    message_queue* dropped = nullptr;
    {
      std::lock_guard<library_mutex> lock(r.lock);
      auto it = r.queues.find(static_cast<DWORD>(current_tid()));
      if (it != r.queues.end() && it->second == queue) {
        dropped = it->second;
        r.queues.erase(it);
      }
    }
    if (dropped) dropped->release();
    close_handle(handle);
    queue = nullptr;
  }
};

thread_local own_queue t_queue;

// The calling thread's queue, made on first use; null with the last error
// set when no handle is left for it.
message_queue* queue_of_this_thread() {
  if (t_queue.queue) return t_queue.queue;
  auto* q = new message_queue;
  HANDLE h = make_handle(q);  // takes the first reference
  if (!h) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  q->add_ref();  // the registry's
  message_queue* stale = nullptr;
  {
    queue_registry& r = registry();
    std::lock_guard<library_mutex> lock(r.lock);
    // An entry under our id belongs to an earlier thread that was ended
    // without running its thread-exit code; the id is ours now.
    message_queue*& slot = r.queues[static_cast<DWORD>(current_tid())];
    stale = slot;
    slot = q;
  }
  if (stale) stale->release();
  t_queue.queue = q;
  t_queue.handle = h;
  return q;
}

}  // namespace
}  // namespace krCore::detail

using namespace krCore::detail;

extern "C" {

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  message_queue* q = nullptr;
  {
    queue_registry& r = registry();
    std::lock_guard<library_mutex> lock(r.lock);
    auto it = r.queues.find(thread_id);
    if (it != r.queues.end()) {
      q = it->second;
      q->add_ref();
    }
  }
  if (!q) {
    SetLastError(kErrorInvalidThreadId);
    return 0;
  }
  const MSG msg{nullptr, message, wparam, lparam, clocks().tick_count(), {0, 0}};
  const unsigned long r = q->post(msg);
  q->release();
  if (r != 0) SetLastError(r);
  return r == 0 ? 1 : 0;
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove) {
  if (!msg) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  message_queue* q = queue_of_this_thread();
  if (!q) return 0;
  if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(-1)) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  return q->peek(msg, first, last, (remove & PM_REMOVE) != 0) ? 1 : 0;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                DWORD milliseconds, DWORD wake_mask) {
  const bool input = (wake_mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0;
  if (wait_all || count >= kMaximumWaitObjects || (count == 0 && !input) ||
      (count != 0 && !handles)) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  if (!queue_of_this_thread()) return kWaitFailed;
  HANDLE all[kMaximumWaitObjects];
  for (DWORD i = 0; i < count; ++i) all[i] = handles[i];
  if (input) all[count] = t_queue.handle;
  return wait_any(all, input ? count + 1 : count, milliseconds);
}

}  // extern "C"
