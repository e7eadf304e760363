// Internal (Linux): the control block of a thread the library started, and
// the marker of the sleeps in which a thread may be ended by force.
//
// The block is shared by the thread's start (native_thread.cpp), its forced
// end (thread_kill.cpp) and its handle (thread_handle.cpp), which owns it and
// reaps the thread when the handle's object goes. The waits (wait.cpp) mark
// their sleeps so that the forced end can take a thread there.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>

#include "foundation/compiler.h"
#include "threading/native_thread.h"
#include "foundation/waitable.h"

namespace krCore::detail {

class waitable;

// A sleep in which the thread holds no lock. What the sleep does hold is
// given back by abandon(argument), which the terminator runs on the thread's
// behalf once the thread has gone (its stack is still mapped then).
struct safe_sleep {
  void (*abandon)(void* argument);
  void* argument;
};

// The safe sleep the calling thread is in, or null. Initial-exec TLS, so the
// signal handler reads it without calling into the loader; constinit, so no
// access goes through a thread-local initialisation check (which the
// sanitizers' null check misreads when the library is linked into a
// program).
extern constinit KRCORE_TLS_INITIAL_EXEC thread_local const safe_sleep*
    t_safe_sleep;

// Marks the calling thread as being in `sleep` for the scope's lifetime.
class safe_sleep_scope {
 public:
  explicit safe_sleep_scope(const safe_sleep* sleep) : _previous(t_safe_sleep) {
    t_safe_sleep = sleep;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~safe_sleep_scope() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_safe_sleep = _previous;
  }
  safe_sleep_scope(const safe_sleep_scope&) = delete;
  safe_sleep_scope& operator=(const safe_sleep_scope&) = delete;

 private:
  const safe_sleep* _previous;
};

// The forced-end request of a thread. The handler moves it from a request to
// kKillExiting just before it ends the thread; the terminator that sees the
// end moves it on to kKillDone, exactly once, and gives back what the thread
// held.
enum : std::uint32_t {
  kKillNone = 0,
  kKillAtSafePoint = 1,
  kKillNow = 2,
  kKillExiting = 3,
  kKillDone = 4,
};

struct thread_native {
  thread_body body = nullptr;
  void* argument = nullptr;
  thread_record* record = nullptr;
  pthread_t thread{};
  bool joinable = false;  // the platform thread was created
  sigset_t start_mask{};  // the creator's signal mask, given to the thread
  std::atomic<std::uint32_t> gate{0};
  std::atomic<int> tid{0};
  std::atomic<std::uint32_t> kill{kKillNone};
  std::atomic<std::uint32_t> deliveries{0};  // runs of the kill handler on the thread
  std::atomic<bool> held_off{false};          // a request met the thread inside a held region
  // The body has returned (or unwound): the thread is on its way out, which
  // no request can stop any more.
  std::atomic<bool> leaving{false};
  const safe_sleep* abandoned = nullptr;     // the sleep the thread was ended in
};

// The calling thread's block while it runs its body; null otherwise (TLS as
// t_safe_sleep).
extern constinit KRCORE_TLS_INITIAL_EXEC thread_local thread_native*
    t_native;

// thread_handle.cpp: the record owns `native` from now on and passes it to
// thread_native_reap when its thread object goes.
void thread_record_attach(thread_record* record, thread_native* native);
// The block of a thread object; null for other objects and for threads the
// library did not start. The caller holds a reference on the object.
thread_native* thread_native_of(waitable* object);
// Drops the reference that a thread ended by force held on its own record
// (the thread's own exit code, which drops it otherwise, never ran).
void thread_record_release_ended(thread_record* record);

// native_thread.cpp: joins the thread (detaches it when called on the thread
// itself) and frees the block.
void thread_native_reap(thread_native* native);

// thread_kill.cpp: the real-time signal that ends threads by force.
int thread_kill_signal();

}  // namespace krCore::detail
