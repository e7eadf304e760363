// Internal (Linux): the object model behind handles.
//
// Every waitable object keeps its state in 32-bit futex words, so that one
// futex_waitv call can sleep on up to 128 objects of any kinds at once. A
// wait scans its objects in index order and tries to take each; when none is
// ready it announces itself as a waiter, records the word values it saw,
// scans again and sleeps until one of the words changes. A signaller changes
// its word first and looks at the waiter count afterwards, so a signal that
// nobody waits for costs one atomic operation and no system call.
//
// New kinds of source (process descriptors, timers, watchers) join the same
// waits by deriving from `waitable` and publishing a futex word that changes
// when they become ready; `make_handle` gives them a handle.
#pragma once

#include <linux/futex.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "foundation/internal.h"
#include <krcore/wintypes.h>

namespace krCore::detail {

enum class object_kind : std::uint32_t {
  auto_event = 1,
  manual_event = 2,
  semaphore = 3,
  mutex = 4,
  thread = 5,
  message_queue = 6,
  process = 7,
};

enum class take_result { busy, taken, abandoned };

// What a waiter sleeps on for one object.
struct sleep_slot {
  std::atomic<std::uint32_t>* word;
  std::uint32_t expected;
  bool shared;       // the word may be woken from another process or the kernel
  bool poll = false;  // the object cannot wake us reliably: sleep in short slices
};

// Base of every object a handle refers to. Reference counted: each handle
// holds one reference, and a wait or a call holds one while it runs.
class KRCORE_INTERNAL waitable {
 public:
  waitable() = default;
  waitable(const waitable&) = delete;
  waitable& operator=(const waitable&) = delete;
  virtual ~waitable() = default;

  virtual object_kind kind() const = 0;
  // Tries to satisfy a wait now, consuming the object where its kind says so.
  virtual take_result try_take() = 0;
  // Fills `slot` with the word and value to sleep on. Returns false when the
  // object may be ready already (the caller scans again instead of sleeping).
  virtual bool prepare(sleep_slot& slot) = 0;
  // Waiter count: a waiter is counted from before its last scan until it
  // leaves the wait, so signallers know whether to wake anyone.
  virtual std::atomic<std::uint32_t>& waiters() = 0;
  // Called on a waiter that was woken through this object but satisfied its
  // wait with another one: passes the wake on when this object is ready.
  virtual void pass_wake() {}

  void add_ref() { _refs.fetch_add(1, std::memory_order_relaxed); }
  // Takes a reference unless the object is already being destroyed.
  bool try_add_ref() {
    long r = _refs.load(std::memory_order_relaxed);
    while (r > 0)
      if (_refs.compare_exchange_weak(r, r + 1, std::memory_order_acquire)) return true;
    return false;
  }
  // Drops a reference; the last one destroys the object (see destroy()).
  void release();

 protected:
  // Destruction when the last reference goes; named objects override it to
  // leave their name registry under its lock.
  virtual void destroy() { delete this; }
  std::atomic<long> _refs{1};
};

// Handle table. make_handle takes over one reference to `object` and returns
// a handle, or null when the table is full (the reference is dropped then).
KRCORE_INTERNAL HANDLE make_handle(waitable* object);
// The object of an open handle with a reference held for the caller, or
// null for a stale, closed or foreign value. Drop it with release().
KRCORE_INTERNAL waitable* lookup_handle(HANDLE handle);

// The object of an open handle, pinned for the holder's lifetime by a
// reference on the handle's table entry (cheaper than lookup_handle: one
// atomic operation to take, one to drop). get() is null for a bad handle.
class KRCORE_INTERNAL handle_ref {
 public:
  explicit handle_ref(HANDLE handle);
  ~handle_ref();
  handle_ref(const handle_ref&) = delete;
  handle_ref& operator=(const handle_ref&) = delete;
  waitable* get() const { return _object; }

 private:
  void* _slot = nullptr;
  waitable* _object = nullptr;
};

// The calling thread's kernel thread id (cached).
int current_tid();

// Futex calls on 32-bit words.
void futex_wake(std::atomic<std::uint32_t>* word, int count, bool shared);
// futex_waitv: returns the index that was woken, or -1 with errno (EAGAIN:
// a word had changed, ETIMEDOUT, EINTR). `deadline` is CLOCK_MONOTONIC,
// null for no limit.
int futex_wait_slots(const sleep_slot* slots, unsigned count, const struct timespec* deadline);

// True when robust mutexes get the kernel's owner-died treatment on this
// system (checked once at first use). When false, mutex and thread waits
// poll and check whether the owner thread still exists.
bool robust_futex_works();
// True when the thread `tid` no longer exists.
bool thread_gone(int tid);

// Robust-mutex word bits (the kernel's robust futex protocol).
constexpr std::uint32_t kFutexWaiters = FUTEX_WAITERS;
constexpr std::uint32_t kFutexOwnerDied = FUTEX_OWNER_DIED;
constexpr std::uint32_t kFutexTidMask = FUTEX_TID_MASK;

// The futex word of a glibc mutex: its first member, which the kernel's
// robust-futex protocol reads and writes.
inline std::atomic<std::uint32_t>* mutex_word(pthread_mutex_t* m) {
  return reinterpret_cast<std::atomic<std::uint32_t>*>(&m->__data.__lock);
}
static_assert(sizeof(pthread_mutex_t) == 40 && offsetof(__pthread_mutex_s, __lock) == 0,
              "the robust-mutex word must be the first member of pthread_mutex_t");
static_assert(sizeof(std::atomic<std::uint32_t>) == 4 &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Initialises a robust, recursive, process-shared mutex.
void init_robust_mutex(pthread_mutex_t* m);

}  // namespace krCore::detail
