// Futex calls, the robust-mutex set-up and the start-up check that the
// kernel gives robust mutexes the owner-died treatment.
//
// Mutex abandonment and thread-end signalling both rest on the kernel's
// robust-futex list: when a thread ends, the kernel marks every robust mutex
// it still holds with FUTEX_OWNER_DIED and wakes one waiter on the word. The
// check below asks once per process whether the threads' lists are
// registered with the kernel; if not, mutex and thread waits fall back to
// polling whether the owner still exists.
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "foundation/fork_child.h"
#include "foundation/linux/object.h"
#include "foundation/spin_lock.h"

namespace krCore::detail {

namespace {
// The calling thread's system id, 0 until asked; a forked child's one thread
// asks again, since it has an id of its own.
thread_local int t_tid = 0;
const int g_fork_reset = (at_fork_child([] { t_tid = 0; }), 0);
}  // namespace

int current_tid() {
  (void)g_fork_reset;
  if (t_tid == 0) t_tid = static_cast<int>(::syscall(SYS_gettid));
  return t_tid;
}

void futex_wake(std::atomic<std::uint32_t>* word, int count, bool shared) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word),
            shared ? FUTEX_WAKE : (FUTEX_WAKE | FUTEX_PRIVATE_FLAG), count, nullptr, nullptr, 0);
}

void wait_on_address(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT | FUTEX_PRIVATE_FLAG,
            expected, nullptr, nullptr, 0);
}

void wake_one_on_address(std::atomic<std::uint32_t>* word) { futex_wake(word, 1, false); }

void wake_all_on_address(std::atomic<std::uint32_t>* word) { futex_wake(word, INT_MAX, false); }

bool several_processors() {
  // Asked once: the locks that spin ask it on every contended take, and a
  // later change of the affinity only makes their spinning less useful.
  static const bool several = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return true;
    return CPU_COUNT(&set) > 1;
  }();
  return several;
}

int futex_wait_slots(const sleep_slot* slots, unsigned count, const struct timespec* deadline) {
  struct futex_waitv waiters[FUTEX_WAITV_MAX] = {};
  if (count > FUTEX_WAITV_MAX) {
    errno = EINVAL;
    return -1;
  }
  for (unsigned i = 0; i < count; ++i) {
    waiters[i].uaddr = reinterpret_cast<std::uintptr_t>(slots[i].word);
    waiters[i].val = slots[i].expected;
    waiters[i].flags = FUTEX_32 | (slots[i].shared ? 0 : FUTEX_PRIVATE_FLAG);
  }
  return static_cast<int>(
      ::syscall(SYS_futex_waitv, waiters, count, 0, deadline, CLOCK_MONOTONIC));
}

void init_robust_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  // Shared even for process-private objects: the kernel's owner-died wake is
  // a shared-futex wake, which a private waiter would not receive.
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

bool thread_gone(int tid) {
  return tid > 0 && ::kill(tid, 0) == -1 && errno == ESRCH;
}

namespace {

// The kernel goes through a thread's robust list at its end only when the
// thread registered the list, and the C library registers it for every
// thread it starts (the first included) whenever the kernel accepts it. So
// the calling thread's registration answers for all threads, and asking
// for it starts nothing: the check also works where no further thread can
// be started (a process at its thread limit).
bool check_robust_futex() {
  struct robust_list_head* head = nullptr;
  std::size_t length = 0;
  return ::syscall(SYS_get_robust_list, 0, &head, &length) == 0 && head != nullptr &&
         length == sizeof(struct robust_list_head);
}

}  // namespace

bool robust_futex_works() {
  static const bool works = check_robust_futex();
  return works;
}

}  // namespace krCore::detail
