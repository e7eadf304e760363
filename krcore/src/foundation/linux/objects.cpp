// Events, semaphores and mutexes on their futex words.
//
// Events keep (sequence << 1) | signalled in one word: every signal bumps the
// sequence, so a sleeper's expected value is stale after any signal or pulse
// even when another waiter consumed the event already. Semaphores keep the
// count. Unnamed mutexes are glibc robust mutexes on the heap, whose lock word
// the kernel marks when the owner ends. A named mutex lives in memory other
// processes write, where a robust mutex's list links would be followed as
// pointers: it keeps the owner's thread and process ids in plain words and
// learns of the owner's end from the kernel (the owner's thread is gone, or
// its process no longer holds its lock on the name's file). A waiter sets the
// waiters bit on the lock word before sleeping so that the owner's unlock
// wakes it; a named mutex's waiters also look for an ended owner in short
// slices. Wakes go to one waiter where one unit is available; a waiter that
// was woken but takes another object passes the wake on (pass_wake).
#include <pthread.h>
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

// False when the process `pid` surely has no thread `tid`: the process is
// visible in /proc and the thread is not among its tasks. A process that
// /proc hides from us (hidepid) counts as having it.
bool task_of(pid_t pid, int tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d", static_cast<int>(pid), tid);
  if (::access(path, F_OK) == 0 || errno != ENOENT) return true;
  std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
  return ::access(path, F_OK) != 0;
}

// An unnamed mutex's block: the words and the robust mutex.
struct heap_mutex_block : object_block {
  pthread_mutex_t mutex;
};

class heap_storage : public block_storage {
 public:
  explicit heap_storage(object_kind kind) : _mutex(kind == object_kind::mutex) {
    if (_mutex) {
      auto* m = new heap_mutex_block();
      init_robust_mutex(&m->mutex);
      block = m;
    } else {
      block = new object_block();
    }
  }
  ~heap_storage() override {
    if (keep_block) return;
    if (!_mutex) {
      delete block;
      return;
    }
    auto* m = static_cast<heap_mutex_block*>(block);
    pthread_mutex_destroy(&m->mutex);
    delete m;
  }

 private:
  bool _mutex;
};

class block_object : public waitable {
 public:
  block_object(std::unique_ptr<block_storage> storage, object_kind kind, bool shared)
      : _storage(std::move(storage)), _b(_storage->block), _kind(kind), _shared(shared) {}
  object_kind kind() const override { return _kind; }
  std::atomic<std::uint32_t>& waiters() override { return _b->waiters; }

 protected:
  // Named blocks are reached from other processes: their futex calls must
  // be shared. Unnamed events and semaphores use cheaper private futexes.
  bool shared() const { return _shared; }

  std::unique_ptr<block_storage> _storage;
  object_block* _b;
  const object_kind _kind;
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
    if (_kind == object_kind::manual_event) return (w & 1) ? take_result::taken : take_result::busy;
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
    if (_kind == object_kind::manual_event) {
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
    futex_wake(&_b->word, _kind == object_kind::manual_event ? INT_MAX : 1, shared());
  }
};

class semaphore_object : public block_object {
 public:
  semaphore_object(std::unique_ptr<block_storage> storage, std::uint32_t maximum, bool shared)
      : block_object(std::move(storage), object_kind::semaphore, shared), _maximum(maximum) {}

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
      if (count > _maximum || c > _maximum - count) return 298;
    } while (!_b->word.compare_exchange_weak(c, c + count, std::memory_order_seq_cst));
    if (previous) *previous = static_cast<long>(c);
    if (_b->waiters.load(std::memory_order_seq_cst) != 0)
      futex_wake(&_b->word, count > INT_MAX ? INT_MAX : static_cast<int>(count), shared());
    return 0;
  }

 private:
  const std::uint32_t _maximum;  // the creator's, never the shared block's
};

// What release_mutex needs of either kind of mutex.
class mutex_base : public block_object {
 public:
  explicit mutex_base(std::unique_ptr<block_storage> storage)
      : block_object(std::move(storage), object_kind::mutex, true) {}
  // 288 when the caller is not the owner.
  virtual unsigned long unlock() = 0;

 protected:
  // Other waiters may sleep on the word; the waiters bit makes our unlock
  // wake one of them.
  void begin_ownership(std::atomic<std::uint32_t>* word) {
    if (_b->waiters.load(std::memory_order_seq_cst) != 0) word->fetch_or(kFutexWaiters);
  }
  // Announces a waiter on `word`, owned by another thread, and fills `slot`;
  // false when the word changed or is free (scan again).
  static bool sleep_on(std::atomic<std::uint32_t>* word, sleep_slot& slot, bool poll) {
    std::uint32_t w = word->load(std::memory_order_seq_cst);
    const std::uint32_t owner = w & kFutexTidMask;
    if (owner == 0 || owner == static_cast<std::uint32_t>(current_tid())) return false;
    if (!(w & kFutexWaiters)) {
      if (!word->compare_exchange_strong(w, w | kFutexWaiters)) return false;
      w |= kFutexWaiters;
    }
    slot = {word, w, true, poll};
    return true;
  }
  std::uint32_t _recursion = 0;  // the owner's depth, touched by the owner only
};

class mutex_object : public mutex_base {
 public:
  explicit mutex_object(std::unique_ptr<block_storage> storage)
      : mutex_base(std::move(storage)), _m(&static_cast<heap_mutex_block*>(_b)->mutex) {}

  take_result try_take() override {
    const int r = pthread_mutex_trylock(_m);
    if (r == EBUSY || r == EAGAIN) {
      if (!robust_futex_works()) mark_if_owner_gone();
      return take_result::busy;
    }
    if (r != 0 && r != EOWNERDEAD) return take_result::busy;
    if (r == EOWNERDEAD) {
      pthread_mutex_consistent(_m);
      _recursion = 0;
    }
    if (_recursion++ == 0) begin_ownership(mutex_word(_m));
    return r == EOWNERDEAD ? take_result::abandoned : take_result::taken;
  }

  bool prepare(sleep_slot& slot) override {
    return sleep_on(mutex_word(_m), slot, !robust_futex_works());
  }

  void pass_wake() override {
    if ((mutex_word(_m)->load() & kFutexTidMask) == 0) futex_wake(mutex_word(_m), 1, true);
  }

  unsigned long unlock() override {
    const std::uint32_t w = mutex_word(_m)->load(std::memory_order_acquire);
    if ((w & kFutexTidMask) != static_cast<std::uint32_t>(current_tid()) || _recursion == 0)
      return 288;
    --_recursion;
    if (pthread_mutex_unlock(_m) != 0) {
      ++_recursion;
      return 288;
    }
    return 0;
  }

 protected:
  // The last handle is gone, and the object with it. The owner's robust
  // list, which glibc and the kernel walk, points into the block: a mutex the
  // calling thread owns is released first (no handle is left to release it
  // with); one another live thread of this process owns keeps its block in
  // memory, a deliberate leak of one block.
  void destroy() override {
    const int owner = static_cast<int>(mutex_word(_m)->load() & kFutexTidMask);
    if (owner != 0 && owner == current_tid()) {
      for (; _recursion > 0; --_recursion) pthread_mutex_unlock(_m);
    } else if (owner != 0 && task_of(::getpid(), owner)) {
      _storage->keep_block = true;
    }
    delete this;
  }

 private:
  // Without the kernel's owner-died marking, notice a vanished owner here.
  void mark_if_owner_gone() {
    std::atomic<std::uint32_t>* word = mutex_word(_m);
    std::uint32_t w = word->load();
    const int owner = static_cast<int>(w & kFutexTidMask);
    if (owner != 0 && thread_gone(owner))
      word->compare_exchange_strong(w, (w & kFutexWaiters) | kFutexOwnerDied);
  }

  pthread_mutex_t* _m;
};

// A named mutex: block->word holds the owner's thread id with the waiters and
// owner-died bits, block->owner_pid the owner's process. Ownership is taken
// with one compare-and-swap and given up with one exchange; the process id is
// written after the one and cleared before the other, so a zero there means
// the owner is between the two steps. Once its process has closed its last
// handle, a mutex still owned by one of its threads counts as abandoned for
// the other processes: its lock on the name went with the handle.
class named_mutex_object : public mutex_base {
 public:
  using mutex_base::mutex_base;

  take_result try_take() override {
    std::atomic<std::uint32_t>& word = _b->word;
    const std::uint32_t me = static_cast<std::uint32_t>(current_tid());
    std::uint32_t w = word.load(std::memory_order_acquire);
    // Bounded: other processes may rewrite the word without end.
    for (int round = 0; round < 64; ++round) {
      const std::uint32_t owner = w & kFutexTidMask;
      if (owner == me && _recursion > 0) {
        ++_recursion;
        return take_result::taken;
      }
      // Our own id without our ownership: the thread that had this id before
      // ended as the owner.
      const bool ended = owner != 0 && (owner == me || owner_ended(owner));
      if (owner != 0 && !ended) return take_result::busy;
      if (!word.compare_exchange_weak(w, me | (w & kFutexWaiters), std::memory_order_acq_rel))
        continue;
      const pid_t pid = _storage->announce_owner_process();
      _b->owner_pid.store(static_cast<std::uint32_t>(pid), std::memory_order_release);
      _recursion = 1;
      begin_ownership(&word);
      return ended || (w & kFutexOwnerDied) ? take_result::abandoned : take_result::taken;
    }
    return take_result::busy;
  }

  // The kernel does not wake us when the owner ends: sleep in slices.
  bool prepare(sleep_slot& slot) override { return sleep_on(&_b->word, slot, true); }

  void pass_wake() override {
    if ((_b->word.load() & kFutexTidMask) == 0) futex_wake(&_b->word, 1, true);
  }

  unsigned long unlock() override {
    const std::uint32_t w = _b->word.load(std::memory_order_acquire);
    if ((w & kFutexTidMask) != static_cast<std::uint32_t>(current_tid()) || _recursion == 0)
      return 288;
    if (--_recursion == 0) give_up();
    return 0;
  }

 protected:
  // The last handle of this process is gone: a mutex the calling thread
  // owns is released first, as no handle is left to release it with.
  void destroy() override {
    if ((_b->word.load() & kFutexTidMask) == static_cast<std::uint32_t>(current_tid()) &&
        _recursion > 0)
      give_up();
    delete this;
  }

 private:
  void give_up() {
    _recursion = 0;
    _b->owner_pid.store(0, std::memory_order_relaxed);
    if (_b->word.exchange(0, std::memory_order_acq_rel) & kFutexWaiters)
      futex_wake(&_b->word, 1, true);
  }

  // True when the thread `tid` that the word names has ended as the owner,
  // as far as the kernel can tell: no such thread exists, its process no
  // longer holds the object, or that process has no such thread (the id now
  // names another process's thread).
  bool owner_ended(std::uint32_t tid) {
    const std::uint32_t pid = _b->owner_pid.load(std::memory_order_acquire);
    if (thread_gone(static_cast<int>(tid))) return true;
    if (pid == 0 || pid > static_cast<std::uint32_t>(kFutexTidMask)) return false;  // between its two steps
    if (static_cast<pid_t>(pid) != ::getpid() && !_storage->process_holds(static_cast<pid_t>(pid)))
      return true;
    return !task_of(static_cast<pid_t>(pid), static_cast<int>(tid));
  }
};

}  // namespace

std::unique_ptr<block_storage> heap_block(object_kind kind) {
  return std::make_unique<heap_storage>(kind);
}

waitable* make_object(object_kind kind, std::uint32_t maximum, bool named,
                      std::unique_ptr<block_storage> storage) {
  switch (kind) {
    case object_kind::auto_event:
    case object_kind::manual_event: return new event_object(std::move(storage), kind, named);
    case object_kind::semaphore: return new semaphore_object(std::move(storage), maximum, named);
    default:
      if (named) return new named_mutex_object(std::move(storage));
      return new mutex_object(std::move(storage));
  }
}

// ---------------------------------------------------------------------------
// The calls behind the handles.
// ---------------------------------------------------------------------------
namespace {

void take_initial_ownership(waitable* o) { o->try_take(); }

HANDLE create(const named_args& args, const std::wstring& name, void (*on_created)(waitable*)) {
  if (!name.empty()) return open_named(args, name, true, on_created);
  auto storage = heap_block(args.kind);
  storage->block->word.store(args.initial);
  waitable* o = make_object(args.kind, args.maximum, false, std::move(storage));
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
  return open_named({object_kind::mutex, 0, 0}, name, false, nullptr);
}

bool release_mutex(HANDLE h) {
  handle_ref ref(h);
  auto* m = object_of<mutex_base>(ref, object_kind::mutex, object_kind::mutex);
  if (!m) return false;
  const unsigned long r = m->unlock();
  if (r != 0) SetLastError(r);
  return r == 0;
}

}  // namespace krCore::detail
