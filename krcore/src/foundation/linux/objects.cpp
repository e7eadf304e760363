// Events, semaphores and mutexes on their futex words.
//
// Events keep (sequence << 1) | signalled in one word: every signal bumps the
// sequence, so a sleeper's expected value is stale after any signal or pulse
// even when another waiter consumed the event already. Semaphores keep the
// count. Mutexes are glibc robust mutexes, whose lock word the kernel marks
// when the owner ends; a waiter sets the waiters bit on it before sleeping so
// that both the owner's unlock and the kernel's owner-died handling wake it.
// Wakes go to one waiter where one unit is available; a waiter that was
// woken but takes another object passes the wake on (pass_wake).
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <krcore/foundation.h>

#include "foundation/waitable.h"
#include "foundation/linux/block.h"

namespace krCore::detail {
namespace {

class heap_storage : public block_storage {
 public:
  heap_storage() { block = new object_block(); }
  ~heap_storage() override {
    if (keep_block) return;
    if (block->kind == object_kind::mutex) pthread_mutex_destroy(&block->mutex);
    delete block;
  }
};

class block_object : public waitable {
 public:
  block_object(std::unique_ptr<block_storage> storage, bool shared)
      : _storage(std::move(storage)), _b(_storage->block), _shared(shared) {}
  object_kind kind() const override { return _b->kind; }
  std::atomic<std::uint32_t>& waiters() override { return _b->waiters; }

 protected:
  // Named blocks are reached from other processes: their futex calls must
  // be shared. Unnamed events and semaphores use cheaper private futexes.
  bool shared() const { return _shared; }

  std::unique_ptr<block_storage> _storage;
  object_block* _b;
  bool _shared;
};

void add_ms(struct timespec& t, long ms) {
  t.tv_nsec += ms * 1000000;
  t.tv_sec += t.tv_nsec / 1000000000;
  t.tv_nsec %= 1000000000;
}

class event_object : public block_object {
 public:
  using block_object::block_object;

  take_result try_take() override {
    std::uint32_t w = _b->word.load(std::memory_order_acquire);
    if (_b->kind == object_kind::manual_event) return (w & 1) ? take_result::taken : take_result::busy;
    while (w & 1) {
      if (_b->word.compare_exchange_weak(w, w & ~1u, std::memory_order_acq_rel))
        return take_result::taken;
    }
    return take_result::busy;
  }

  bool prepare(sleep_slot& slot) override {
    const std::uint32_t w = _b->word.load(std::memory_order_seq_cst);
    if (w & 1) return false;
    slot = {&_b->word, w, shared()};
    return true;
  }

  void pass_wake() override {
    if (_b->word.load() & 1) futex_wake(&_b->word, 1, shared());
  }

  void set() {
    std::uint32_t w = _b->word.load(std::memory_order_relaxed);
    do {
      if (w & 1) return;  // already signalled: its waiters were woken then
    } while (!_b->word.compare_exchange_weak(w, (w + 2) | 1, std::memory_order_seq_cst));
    wake();
  }

  void reset() { _b->word.fetch_and(~1u, std::memory_order_acq_rel); }

  void pulse() {
    if (_b->waiters.load(std::memory_order_seq_cst) == 0) {
      reset();
      return;
    }
    // A waiter is counted. A manual-reset event releases all sleepers by the
    // sequence change alone and is reset at once.
    if (_b->kind == object_kind::manual_event) {
      std::uint32_t w = _b->word.load();
      while (!_b->word.compare_exchange_weak(w, (w + 2) & ~1u)) {
      }
      futex_wake(&_b->word, INT_MAX, shared());
      return;
    }
    // An auto-reset event is signalled for the one it wakes to consume. A
    // counted waiter may be leaving on its time-out instead, so the pulse
    // waits (briefly) until the signal is taken or nobody is counted, and
    // then takes back a signal nobody took.
    std::uint32_t w = _b->word.load(std::memory_order_relaxed);
    std::uint32_t mine = w;
    while (!(w & 1)) {
      mine = (w + 2) | 1;
      if (_b->word.compare_exchange_weak(w, mine, std::memory_order_seq_cst)) break;
      mine = w;
    }
    wake();
    // Sleeps in short slices (a taker changes the word but wakes nobody),
    // leaving the processor to the woken waiter.
    struct timespec limit;
    ::clock_gettime(CLOCK_MONOTONIC, &limit);
    add_ms(limit, 20);
    const sleep_slot slot{&_b->word, mine, shared()};
    for (;;) {
      if (_b->word.load(std::memory_order_seq_cst) != mine ||
          _b->waiters.load(std::memory_order_seq_cst) == 0)
        break;
      struct timespec slice;
      ::clock_gettime(CLOCK_MONOTONIC, &slice);
      if (slice.tv_sec > limit.tv_sec || (slice.tv_sec == limit.tv_sec && slice.tv_nsec >= limit.tv_nsec))
        break;
      add_ms(slice, 1);
      futex_wait_slots(&slot, 1, &slice);
    }
    _b->word.compare_exchange_strong(mine, mine & ~1u, std::memory_order_acq_rel);
  }

 private:
  void wake() {
    if (_b->waiters.load(std::memory_order_seq_cst) == 0) return;
    futex_wake(&_b->word, _b->kind == object_kind::manual_event ? INT_MAX : 1, shared());
  }
};

class semaphore_object : public block_object {
 public:
  using block_object::block_object;

  take_result try_take() override {
    std::uint32_t c = _b->word.load(std::memory_order_acquire);
    while (c > 0) {
      if (_b->word.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel))
        return take_result::taken;
    }
    return take_result::busy;
  }

  bool prepare(sleep_slot& slot) override {
    const std::uint32_t c = _b->word.load(std::memory_order_seq_cst);
    if (c != 0) return false;
    slot = {&_b->word, 0, shared()};
    return true;
  }

  void pass_wake() override {
    if (_b->word.load() != 0) futex_wake(&_b->word, 1, shared());
  }

  // 298 when the maximum would be passed.
  unsigned long post(std::uint32_t count, long* previous) {
    std::uint32_t c = _b->word.load(std::memory_order_relaxed);
    do {
      if (count > _b->maximum || c > _b->maximum - count) return 298;
    } while (!_b->word.compare_exchange_weak(c, c + count, std::memory_order_seq_cst));
    if (previous) *previous = static_cast<long>(c);
    if (_b->waiters.load(std::memory_order_seq_cst) != 0)
      futex_wake(&_b->word, count > INT_MAX ? INT_MAX : static_cast<int>(count), shared());
    return 0;
  }
};

class mutex_object : public block_object {
 public:
  using block_object::block_object;

  take_result try_take() override {
    const int r = pthread_mutex_trylock(&_b->mutex);
    if (r == EBUSY || r == EAGAIN) {
      if (!robust_futex_works()) mark_if_owner_gone();
      return take_result::busy;
    }
    if (r != 0 && r != EOWNERDEAD) return take_result::busy;
    if (r == EOWNERDEAD) {
      pthread_mutex_consistent(&_b->mutex);
      _b->recursion = 0;
    }
    if (_b->recursion++ == 0) begin_ownership();
    return r == EOWNERDEAD ? take_result::abandoned : take_result::taken;
  }

  bool prepare(sleep_slot& slot) override {
    std::atomic<std::uint32_t>* word = mutex_word(&_b->mutex);
    std::uint32_t w = word->load(std::memory_order_seq_cst);
    const std::uint32_t owner = w & kFutexTidMask;
    if (owner == 0 || owner == static_cast<std::uint32_t>(current_tid())) return false;
    if (!(w & kFutexWaiters)) {
      if (!word->compare_exchange_strong(w, w | kFutexWaiters)) return false;
      w |= kFutexWaiters;
    }
    slot = {word, w, true, !robust_futex_works()};
    return true;
  }

  void pass_wake() override {
    if ((mutex_word(&_b->mutex)->load() & kFutexTidMask) == 0)
      futex_wake(mutex_word(&_b->mutex), 1, true);
  }

  // 288 when the caller is not the owner.
  unsigned long unlock() {
    const std::uint32_t w = mutex_word(&_b->mutex)->load(std::memory_order_acquire);
    if ((w & kFutexTidMask) != static_cast<std::uint32_t>(current_tid()) || _b->recursion == 0)
      return 288;
    --_b->recursion;
    if (pthread_mutex_unlock(&_b->mutex) != 0) {
      ++_b->recursion;
      return 288;
    }
    return 0;
  }

 protected:
  // The last handle is gone, and the object with it (its name too). The
  // owner's robust list, which glibc and the kernel walk, points into the
  // block: a mutex the calling thread owns is released first (no handle is
  // left to release it with); one another live thread of this process owns
  // keeps its block in memory, a deliberate leak of one block.
  void destroy() override {
    const int owner = static_cast<int>(mutex_word(&_b->mutex)->load() & kFutexTidMask);
    if (owner != 0 && owner == current_tid()) {
      for (; _b->recursion > 0; --_b->recursion) pthread_mutex_unlock(&_b->mutex);
    } else if (owner != 0 && thread_of_this_process(owner)) {
      _storage->keep_block = true;
    }
    delete this;
  }

 private:
  static bool thread_of_this_process(int tid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/task/%d", tid);
    return ::access(path, F_OK) == 0;
  }

  void begin_ownership() {
    // Other waiters may sleep on the word; the waiters bit makes our unlock
    // wake one of them.
    if (_b->waiters.load(std::memory_order_seq_cst) != 0)
      mutex_word(&_b->mutex)->fetch_or(kFutexWaiters);
  }

  // Without the kernel's owner-died marking, notice a vanished owner here.
  void mark_if_owner_gone() {
    std::atomic<std::uint32_t>* word = mutex_word(&_b->mutex);
    std::uint32_t w = word->load();
    const int owner = static_cast<int>(w & kFutexTidMask);
    if (owner != 0 && thread_gone(owner))
      word->compare_exchange_strong(w, (w & kFutexWaiters) | kFutexOwnerDied);
  }
};

}  // namespace

std::unique_ptr<block_storage> heap_block() { return std::make_unique<heap_storage>(); }

void init_block(object_block* b, object_kind kind, std::uint32_t initial, std::uint32_t maximum) {
  b->kind = kind;
  b->word.store(kind == object_kind::semaphore ? initial : (initial ? 1u : 0u));
  b->waiters.store(0);
  b->maximum = maximum;
  b->recursion = 0;
  if (kind == object_kind::mutex) init_robust_mutex(&b->mutex);
}

waitable* make_object(object_kind kind, std::unique_ptr<block_storage> storage) {
  const bool shared =
      kind == object_kind::mutex || dynamic_cast<heap_storage*>(storage.get()) == nullptr;
  switch (kind) {
    case object_kind::auto_event:
    case object_kind::manual_event: return new event_object(std::move(storage), shared);
    case object_kind::semaphore: return new semaphore_object(std::move(storage), shared);
    default: return new mutex_object(std::move(storage), shared);
  }
}

// ---------------------------------------------------------------------------
// The calls behind the handles.
// ---------------------------------------------------------------------------
namespace {

struct create_args {
  object_kind kind;
  std::uint32_t initial, maximum;
};

void init_from_args(object_block* b, const void* arg) {
  auto* a = static_cast<const create_args*>(arg);
  init_block(b, a->kind, a->initial, a->maximum);
}

void take_initial_ownership(waitable* o) { o->try_take(); }

HANDLE create(const create_args& args, const std::wstring& name, void (*on_created)(waitable*)) {
  if (!name.empty()) return open_named(args.kind, name, true, init_from_args, &args, on_created);
  auto storage = heap_block();
  init_block(storage->block, args.kind, args.initial, args.maximum);
  waitable* o = make_object(args.kind, std::move(storage));
  if (on_created) on_created(o);
  HANDLE h = make_handle(o);
  SetLastError(h ? 0 : 8);
  return h;
}

// The object behind `h` if it is of one of the kinds, pinned by `ref`; else
// null with last error 6.
template <class T>
T* object_of(const handle_ref& ref, object_kind a, object_kind b) {
  waitable* o = ref.get();
  if (o && (o->kind() == a || o->kind() == b)) return static_cast<T*>(o);
  SetLastError(6);
  return nullptr;
}

template <class F>
bool with_event(HANDLE h, F f) {
  handle_ref ref(h);
  auto* e = object_of<event_object>(ref, object_kind::auto_event, object_kind::manual_event);
  if (!e) return false;
  f(*e);
  return true;
}

}  // namespace

HANDLE create_event(bool manual_reset, bool initially_signalled, const std::wstring& name) {
  return create({manual_reset ? object_kind::manual_event : object_kind::auto_event,
                 initially_signalled ? 1u : 0u, 0},
                name, nullptr);
}

bool set_event(HANDLE h) { return with_event(h, [](event_object& e) { e.set(); }); }
bool reset_event(HANDLE h) { return with_event(h, [](event_object& e) { e.reset(); }); }
bool pulse_event(HANDLE h) { return with_event(h, [](event_object& e) { e.pulse(); }); }

HANDLE create_semaphore(long initial, long maximum, const std::wstring& name) {
  if (maximum < 1 || initial < 0 || initial > maximum || maximum > INT_MAX) {
    SetLastError(87);
    return nullptr;
  }
  return create({object_kind::semaphore, static_cast<std::uint32_t>(initial),
                 static_cast<std::uint32_t>(maximum)},
                name, nullptr);
}

bool release_semaphore(HANDLE h, long count, long* previous) {
  handle_ref ref(h);
  auto* s = object_of<semaphore_object>(ref, object_kind::semaphore, object_kind::semaphore);
  if (!s) return false;
  const unsigned long r =
      count < 1 || count > INT_MAX ? 87 : s->post(static_cast<std::uint32_t>(count), previous);
  if (r != 0) SetLastError(r);
  return r == 0;
}

HANDLE create_mutex(bool initial_owner, const std::wstring& name) {
  robust_futex_works();  // run the start-up check outside any lock
  return create({object_kind::mutex, 0, 0}, name, initial_owner ? take_initial_ownership : nullptr);
}

HANDLE open_mutex(const std::wstring& name) {
  if (name.empty()) {
    SetLastError(87);
    return nullptr;
  }
  robust_futex_works();
  return open_named(object_kind::mutex, name, false, nullptr, nullptr, nullptr);
}

bool release_mutex(HANDLE h) {
  handle_ref ref(h);
  auto* m = object_of<mutex_object>(ref, object_kind::mutex, object_kind::mutex);
  if (!m) return false;
  const unsigned long r = m->unlock();
  if (r != 0) SetLastError(r);
  return r == 0;
}

}  // namespace krCore::detail
