// Thread handles: waitable objects that become signalled when a thread ends,
// whatever ended it.
//
// Each thread that has a handle holds a robust "alive" mutex for its whole
// life and never releases it; the kernel marks the mutex owner-died when the
// thread ends, and wakes one waiter. The first waiter that sees the mark
// records the end and wakes every other waiter. A thread the library starts
// gets its record before it runs (the handle is then not signalled until the
// thread has run and ended); any other thread gets one when it first asks.
//
// The kernel touches the alive mutex while the thread exits, after the
// thread's own destructors ran, so records are never freed: a record whose
// handles are all closed waits in a graveyard until its thread is seen gone,
// and is then reused.
//
// A fork child has only the thread that forked: the records of every other
// thread (running, or not yet started) name threads of the parent, which
// never end here. A record keeps the fork generation it was made in, and
// one of an earlier generation reads as ended; the forking thread's own
// record is brought up to the child's generation as the child starts.
#include <cerrno>
#include <climits>
#include <mutex>
#include <vector>

#include <krcore/foundation.h>

#include "foundation/fork_child.h"
#include "foundation/kill_hold.h"
#include "foundation/waitable.h"
#include "foundation/linux/object.h"
#include "threading/linux/thread_native.h"

namespace krCore::detail {

struct thread_record {
  std::atomic<std::uint32_t> state{0};  // see the enum below
  std::atomic<std::uint32_t> waiters{0};
  pthread_mutex_t alive;
  waitable* object = nullptr;
  thread_native* native = nullptr;  // threads the library started
  unsigned generation = 0;          // fork_generation() of the thread's process
};

namespace {

enum : std::uint32_t { kNotStarted = 0, kRunning = 1, kEnded = 2 };

// True when the record's thread belongs to the process this one was forked
// from, and so is not here.
bool of_parent(const thread_record* r) { return r->generation != fork_generation(); }

struct graveyard {
  library_mutex lock;
  std::vector<thread_record*> records;
};
graveyard& graves() {
  static graveyard* g = new graveyard;  // never destroyed, like the records
  return *g;
}

class thread_object : public waitable {
 public:
  explicit thread_object(thread_record* r) : _r(r) { r->object = this; }
  object_kind kind() const override { return object_kind::thread; }
  std::atomic<std::uint32_t>& waiters() override { return _r->waiters; }

  take_result try_take() override { return ended() ? take_result::taken : take_result::busy; }

  bool prepare(sleep_slot& slot) override {
    const std::uint32_t st = _r->state.load(std::memory_order_seq_cst);
    if (st == kEnded || of_parent(_r)) return false;
    if (st == kNotStarted) {
      slot = {&_r->state, kNotStarted, true};
      return true;
    }
    std::atomic<std::uint32_t>* word = mutex_word(&_r->alive);
    std::uint32_t w = word->load(std::memory_order_seq_cst);
    if ((w & kFutexOwnerDied) || (w & kFutexTidMask) == 0) return false;
    if (!(w & kFutexWaiters)) {
      if (!word->compare_exchange_strong(w, w | kFutexWaiters)) return false;
      w |= kFutexWaiters;
    }
    slot = {word, w, true, !robust_futex_works()};
    return true;
  }

  // The kernel wakes one waiter at the thread's end; if that waiter took
  // another object, it must still spread the news.
  void pass_wake() override { ended(); }

 protected:
  void destroy() override {
    // A parent's thread cannot be joined here; its bookkeeping stays.
    thread_native* native = of_parent(_r) ? nullptr : _r->native;
    {
      std::lock_guard<library_mutex> guard(graves().lock);
      _r->object = nullptr;
      _r->native = nullptr;
      graves().records.push_back(_r);
    }
    delete this;
    // Outside the graveyard lock: reaping may wait for the thread's last
    // steps out of the system.
    if (native) thread_native_reap(native);
  }

 private:
  // True when the thread has ended; the first to notice wakes all waiters.
  bool ended() {
    const std::uint32_t st = _r->state.load(std::memory_order_acquire);
    if (st == kEnded) return true;
    if (of_parent(_r)) {
      mark_ended(_r);
      return true;
    }
    if (st == kNotStarted) return false;
    const std::uint32_t w = mutex_word(&_r->alive)->load(std::memory_order_acquire);
    const bool gone = (w & kFutexOwnerDied) ||
                      (!robust_futex_works() && thread_gone(static_cast<int>(w & kFutexTidMask)));
    if (!gone) return false;
    mark_ended(_r);
    return true;
  }

  thread_record* _r;

 public:
  thread_record* record() const { return _r; }

  static void mark_ended(thread_record* r) {
    if (r->state.exchange(kEnded) == kEnded) return;
    if (r->waiters.load() != 0) {
      futex_wake(mutex_word(&r->alive), INT_MAX, true);
      futex_wake(&r->state, INT_MAX, true);
    }
  }
};

// Makes the alive mutex of a record whose thread is gone fresh again. The
// mutex is first taken over from the ended owner and released, the robust
// protocol's way of recovering an abandoned mutex, so that nothing that
// tracks mutex owners (the thread checker among them) still counts the old
// thread as its owner once the next thread takes it.
void reset_alive(thread_record* r) {
  const int taken = pthread_mutex_trylock(&r->alive);
  if (taken == EOWNERDEAD) pthread_mutex_consistent(&r->alive);
  if (taken == 0 || taken == EOWNERDEAD) pthread_mutex_unlock(&r->alive);
  pthread_mutex_destroy(&r->alive);
  init_robust_mutex(&r->alive);
}

// A record whose thread is certainly gone, or a new one.
thread_record* new_record() {
  {
    std::lock_guard<library_mutex> guard(graves().lock);
    auto& v = graves().records;
    for (std::size_t i = 0; i < v.size(); ++i) {
      thread_record* r = v[i];
      const std::uint32_t w = mutex_word(&r->alive)->load();
      if (r->state.load() == kEnded || (w & kFutexOwnerDied) || of_parent(r)) {
        v[i] = v.back();
        v.pop_back();
        r->generation = fork_generation();
        r->state.store(kNotStarted);
        r->waiters.store(0);
        reset_alive(r);
        return r;
      }
    }
  }
  auto* r = new thread_record;
  r->generation = fork_generation();
  init_robust_mutex(&r->alive);
  return r;
}

// The calling thread's own reference to its record, dropped when it ends.
struct current_thread {
  waitable* object = nullptr;
  ~current_thread() {
    if (object) object->release();
  }
};
thread_local current_thread t_current;

// The forking thread goes on in the child, and so does its record.
void adopt_forking_thread() {
  if (t_current.object)
    static_cast<thread_object*>(t_current.object)->record()->generation = fork_generation();
}
const int g_fork_adopt = (at_fork_child(&adopt_forking_thread), 0);

void enter(thread_record* r) {
  (void)g_fork_adopt;
  pthread_mutex_lock(&r->alive);
  r->state.store(kRunning, std::memory_order_seq_cst);
  if (r->waiters.load(std::memory_order_seq_cst) != 0) futex_wake(&r->state, INT_MAX, true);
  t_current.object = r->object;
}

}  // namespace

HANDLE current_thread_handle() {
  if (!t_current.object) {
    thread_record* r = new_record();
    new thread_object(r);  // its one reference becomes the thread's own
    enter(r);
  }
  waitable* o = t_current.object;
  o->add_ref();
  HANDLE h = make_handle(o);
  if (!h) SetLastError(8);
  return h;
}

HANDLE thread_record_create(thread_record** record) {
  thread_record* r = new_record();
  waitable* o = new thread_object(r);  // the new thread's reference
  o->add_ref();                        // the handle's
  HANDLE h = make_handle(o);
  if (!h) {
    o->release();
    SetLastError(8);
    *record = nullptr;
    return nullptr;
  }
  *record = r;
  return h;
}

void thread_record_enter(thread_record* record) {
  if (t_current.object) t_current.object->release();  // a record made before, unused now
  enter(record);
}

void thread_record_abandon(thread_record* record) {
  waitable* o = record->object;
  thread_object::mark_ended(record);
  o->release();
}

void thread_record_attach(thread_record* record, thread_native* native) {
  record->native = native;
}

thread_native* thread_native_of(waitable* object) {
  if (object->kind() != object_kind::thread) return nullptr;
  return static_cast<thread_object*>(object)->record()->native;
}

void thread_record_release_ended(thread_record* record) { record->object->release(); }

}  // namespace krCore::detail
