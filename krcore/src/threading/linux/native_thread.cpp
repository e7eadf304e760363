// Threads the library starts: a pthread held at a start gate until resumed,
// with a waitable handle made before the thread exists.
//
// The creator blocks every signal around pthread_create, so the new thread
// starts with all signals blocked; it enters its handle's record, publishes
// its id, takes the creator's signal mask (with the forced-end signal always
// open) and sleeps at the gate. Blocking signals until the record is entered
// means a forced end can never take the thread before its handle can report
// the end. The creator waits for the id, so it holds both id and handle
// before any of the body runs.
#include <errno.h>

#include <climits>
#include <new>

#include <krcore/foundation.h>

#include "foundation/compiler.h"
#include "foundation/errors.h"
#include "foundation/linux/object.h"
#include "security/privileges.h"
#include "threading/linux/thread_native.h"

namespace krCore::detail {

constinit KRCORE_TLS_INITIAL_EXEC thread_local thread_native* t_native = nullptr;

namespace {

enum : std::uint32_t { kGateCreated = 0, kGateEntered = 1, kGateOpen = 2 };

// Sleeps while `word` holds `value`.
void wait_while(std::atomic<std::uint32_t>* word, std::uint32_t value) {
  while (word->load(std::memory_order_acquire) == value) {
    const sleep_slot slot{word, value, false};
    futex_wait_slots(&slot, 1, nullptr);
  }
}

// Clears the thread's block before its exit code runs (also when the body
// ends the thread by unwinding), so a forced end cannot take it from then on,
// and says that it is on its way out.
struct native_scope {
  explicit native_scope(thread_native* n) : _n(n) { t_native = n; }
  ~native_scope() {
    _n->leaving.store(true, std::memory_order_release);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_native = nullptr;
  }
  native_scope(const native_scope&) = delete;
  native_scope& operator=(const native_scope&) = delete;

 private:
  thread_native* _n;
};

void* thread_main(void* p) {
  auto* n = static_cast<thread_native*>(p);
  thread_record_enter(n->record);
  native_scope scope(n);
  sigset_t mask = n->start_mask;
  sigdelset(&mask, thread_kill_signal());
  n->tid.store(current_tid(), std::memory_order_relaxed);
  n->gate.store(kGateEntered, std::memory_order_release);
  futex_wake(&n->gate, INT_MAX, false);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  {
    static constexpr safe_sleep kGate{nullptr, nullptr};
    safe_sleep_scope sleeping(&kGate);
    wait_while(&n->gate, kGateEntered);
  }
  n->body(n->argument);
  return nullptr;
}

}  // namespace

HANDLE create_thread_gated(thread_body body, void* argument, DWORD* id) {
  thread_record* record = nullptr;
  HANDLE handle = thread_record_create(&record);
  if (!handle) {
    errno = ENOMEM;
    return nullptr;
  }
  auto* n = new (std::nothrow) thread_native;
  if (!n) {
    thread_record_abandon(record);
    close_handle(handle);
    errno = ENOMEM;
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  n->body = body;
  n->argument = argument;
  n->record = record;
  thread_record_attach(record, n);

  int rc;
  {
    // The thread begins with the process's own capabilities, never with
    // those a privilege switched on for its creator's scope.
    const start_unprivileged unprivileged;
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &n->start_mask);
    rc = pthread_create(&n->thread, nullptr, &thread_main, n);
    pthread_sigmask(SIG_SETMASK, &n->start_mask, nullptr);
  }
  if (rc != 0) {
    thread_record_abandon(record);
    close_handle(handle);  // the last reference: frees the block
    errno = rc;
    SetLastError(win32_from_errno(rc));
    return nullptr;
  }
  n->joinable = true;
  wait_while(&n->gate, kGateCreated);
  if (id) *id = static_cast<DWORD>(n->tid.load(std::memory_order_relaxed));
  return handle;
}

bool resume_thread(HANDLE thread) {
  handle_ref ref(thread);
  thread_native* n = ref.get() ? thread_native_of(ref.get()) : nullptr;
  if (!n || !n->joinable) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (n->gate.exchange(kGateOpen, std::memory_order_acq_rel) != kGateOpen)
    futex_wake(&n->gate, INT_MAX, false);
  return true;
}

void thread_native_reap(thread_native* n) {
  if (n->joinable) {
    if (pthread_equal(n->thread, pthread_self())) {
      t_native = nullptr;
      pthread_detach(n->thread);
    } else {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
      // The sanitizers' join waits for their own end-of-thread bookkeeping,
      // which a thread ended by force never runs (the thread sanitizer's
      // spins for ever); such a thread is detached (its stack is not
      // reclaimed in these builds).
      if (n->kill.load() >= kKillExiting)
        pthread_detach(n->thread);
      else
        pthread_join(n->thread, nullptr);
#else
      pthread_join(n->thread, nullptr);
#endif
    }
  }
  delete n;
}

bool is_current_thread(DWORD id) { return id == static_cast<DWORD>(::gettid()); }

}  // namespace krCore::detail
