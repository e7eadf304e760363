// Forced end of a thread the library started.
//
// There is no safe way on Linux to end one thread from outside, and
// pthread_cancel does not stop a thread that never reaches a cancellation
// point. So the terminator sends the thread a dedicated real-time signal
// whose handler ends only that thread, with the raw exit system call, and
// only at a safe point: while the thread sleeps in a library wait (which
// holds no lock), in a system call that the signal makes fail (a sleep or a
// poll, which would otherwise return to code that must not run on), or
// while its interrupted instruction lies outside the C
// library, the loader, the C++ runtime, the unwinder, the sanitizer runtimes
// and this library, so that none of their locks can be left held. The code
// ranges of those objects are collected before the handler is installed,
// which keeps the handler async-signal-safe. Elsewhere the handler returns
// and the terminator signals again each millisecond, after the previous
// signal was handled, until a grace period has passed; then it asks for the
// end wherever the thread is, and logs that. Neither ends a thread inside
// one of the library's locks (kill_hold.h): such a thread is marked, and
// ends itself the moment it lets go of its last lock. Either way it then waits on the
// thread's handle, which the kernel signals when it has released the
// thread's robust mutexes (they become abandoned). The signal carries the
// library's mark; one without it is the host's, and goes on to the handler
// the host had (signal_chain.h).
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <link.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include <krcore/foundation.h>

#include "foundation/compiler.h"
#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "logging/logsink.h"
#include "foundation/linux/object.h"
#include "foundation/linux/signal_chain.h"
#include "threading/linux/thread_native.h"

namespace krCore::detail {

constinit KRCORE_TLS_INITIAL_EXEC thread_local const safe_sleep* t_safe_sleep =
    nullptr;

int thread_kill_signal() { return SIGRTMAX - 3; }

namespace {

// ---------------------------------------------------------------------------
// Code in which a thread must not be ended: collected once, read by the
// handler.
// ---------------------------------------------------------------------------

struct code_range {
  std::uintptr_t low;
  std::uintptr_t high;
};

constexpr std::size_t kMaxRanges = 64;
code_range g_unsafe[kMaxRanges];
std::size_t g_unsafe_count = 0;

// Runtimes whose code may hold process-wide locks (allocator, loader, stdio,
// exception handling, sanitizer bookkeeping).
bool is_runtime(const char* path) {
  static const char* const kNames[] = {"libc.so", "ld-linux", "libstdc++", "libgcc_s",
                                       "libasan", "libubsan", "liblsan",   "libtsan"};
  const char* slash = std::strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  for (const char* name : kNames)
    if (std::strncmp(base, name, std::strlen(name)) == 0) return true;
  return false;
}

int collect_object(struct dl_phdr_info* info, std::size_t, void* self) {
  const auto own = reinterpret_cast<std::uintptr_t>(self);
  bool ours = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    const std::uintptr_t low = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD && own >= low && own < low + ph.p_memsz) ours = true;
  }
  if (!ours && !(info->dlpi_name && is_runtime(info->dlpi_name))) return 0;
  for (int i = 0; i < info->dlpi_phnum && g_unsafe_count < kMaxRanges; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
    const std::uintptr_t low = info->dlpi_addr + ph.p_vaddr;
    g_unsafe[g_unsafe_count++] = {low, low + ph.p_memsz};
  }
  return 0;
}

bool in_unsafe_code(std::uintptr_t pc) {
  for (std::size_t i = 0; i < g_unsafe_count; ++i)
    if (pc >= g_unsafe[i].low && pc < g_unsafe[i].high) return true;
  return false;
}

std::uintptr_t interrupted_pc(const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
#error "the interrupted instruction pointer is not known for this architecture"
#endif
}

// True when the signal interrupted a system call that now fails with EINTR
// (sleeps, poll, select and the like, which no handler flag restarts): the
// interrupted instruction follows a `syscall` and the result register holds
// -EINTR. Returning there would hand the failure to the caller, who goes on
// running; such calls block without holding the runtimes' locks, so the
// thread is ended in them as in a safe point. Restarted calls (the
// instruction pointer is back on the `syscall`) are not matched: a thread
// that blocks for a lock is restarted and waits on.
bool in_failing_call(const void* context, std::uintptr_t pc) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc->uc_mcontext.gregs[REG_RAX] != -EINTR || !in_unsafe_code(pc - 2)) return false;
  const auto* code = reinterpret_cast<const unsigned char*>(pc - 2);
  return code[0] == 0x0f && code[1] == 0x05;
#else
  (void)context;
  (void)pc;
  return false;
#endif
}

// Ends the calling thread (a library thread) for a pending kill request,
// after recording the sleep it is in. Returns when no kill is requested, or
// when the request was withdrawn meanwhile.
void end_for_request(thread_native* n, std::uint32_t request) {
  // Written before the exchange that publishes it: the terminator reads
  // it only after seeing kKillExiting, and must not depend on the
  // kernel's handling of the exit for its ordering.
  n->abandoned = t_safe_sleep;
  if (n->kill.compare_exchange_strong(request, kKillExiting, std::memory_order_acq_rel))
    ::syscall(SYS_exit, 0);  // this thread only; the kernel releases its robust mutexes
}

// ---------------------------------------------------------------------------
// The handler, on the target thread.
// ---------------------------------------------------------------------------

chained_signal g_host_kill_signal;

void kill_handler(int sig, siginfo_t* info, void* context) {
  // The host's own use of the signal, or another copy of the library's, is
  // theirs.
  if (!is_marked(info)) {
    g_host_kill_signal.pass_on(sig, info, context);
    return;
  }
  const int saved_errno = errno;
  thread_native* n = t_native;
  if (n) {
    n->deliveries.fetch_add(1, std::memory_order_acq_rel);
    const std::uint32_t request = n->kill.load(std::memory_order_acquire);
    const std::uintptr_t pc = interrupted_pc(context);
    const bool safe =
        t_safe_sleep != nullptr || !in_unsafe_code(pc) || in_failing_call(context, pc);
    if (request != kKillNow && request != kKillAtSafePoint) {
      // No request (any more): nothing to do.
    } else if (t_kill_hold != 0) {
      // Inside a lock or the log writer's I/O: the thread ends itself when
      // it lets go (end_held_off_kill).
      t_kill_held_off = true;
      n->held_off.store(true, std::memory_order_release);
    } else if (request == kKillNow || safe) {
      end_for_request(n, request);
    }
  }
  errno = saved_errno;
}

// 0, or the Win32 code of the failure to install the handler.
unsigned long install_handler() {
  static std::once_flag once;
  static unsigned long result = 0;
  std::call_once(once, [] {
    dl_iterate_phdr(&collect_object, reinterpret_cast<void*>(&kill_handler));
    sigset_t all;
    sigfillset(&all);
    // Interrupted calls go on unnoticed (SA_RESTART).
    if (const int e = g_host_kill_signal.install(thread_kill_signal(), &kill_handler, SA_RESTART, all))
      result = win32_from_errno(e);
  });
  return result;
}

// ---------------------------------------------------------------------------
// The terminator.
// ---------------------------------------------------------------------------

// How long a thread that holds a lock is given to let go of it, and a
// thread on its way out to get out.
constexpr DWORD kHeldOffMs = 10000;

// Signals the thread whenever the previous signal has been handled, and
// waits on its handle in one-millisecond steps, for at most `ms`. True when
// the handle became signalled; false at once when the thread is on its way
// out, where the handler can no longer take it.

bool signal_until_ended(HANDLE thread, thread_native* n, DWORD ms) {
  struct timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  bool pending = false;
  std::uint32_t seen = 0;
  for (;;) {
    if (n->leaving.load(std::memory_order_acquire)) return false;
    if (!pending || n->deliveries.load(std::memory_order_acquire) != seen) {
      seen = n->deliveries.load(std::memory_order_acquire);
      pending = send_marked(n->thread, thread_kill_signal()) == 0;
    }
    if (wait_any(&thread, 1, 1) == kWaitObject0) return true;
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long elapsed_ms =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed_ms >= static_cast<long long>(ms)) return false;
  }
}

// After the handle of a thread we ended is signalled: gives back what the
// thread held in its sleep and the reference it held on its own record.
void after_forced_end(thread_native* n) {
  std::uint32_t expected = kKillExiting;
  if (!n->kill.compare_exchange_strong(expected, kKillDone, std::memory_order_acq_rel)) return;
  if (n->abandoned && n->abandoned->abandon) n->abandoned->abandon(n->abandoned->argument);
  thread_record_release_ended(n->record);
}

// Owns a handle for the terminator's own use.
struct own_handle {
  HANDLE h;
  ~own_handle() {
    if (h) close_handle(h);
  }
};

}  // namespace

void end_thread_if_killed() {
  thread_native* n = t_native;
  if (!n || t_kill_hold != 0) return;
  const std::uint32_t request = n->kill.load(std::memory_order_acquire);
  if (request == kKillAtSafePoint || request == kKillNow) end_for_request(n, request);
}

void end_held_off_kill() {
  t_kill_held_off = false;
  end_thread_if_killed();
}

DWORD terminate_thread(HANDLE thread, DWORD grace_ms) {
  // A thread ending itself: nothing of this call may stay pinned on its
  // stack. Its record is kept, as nobody is left to give it back.
  bool self = false;
  {
    handle_ref ref(thread);
    self = t_native && ref.get() && thread_native_of(ref.get()) == t_native;
  }
  if (self) {
    if (const unsigned long error = install_handler()) return error;
    t_native->kill.store(kKillNow, std::memory_order_release);
    send_marked(pthread_self(), thread_kill_signal());
    // Still here: the thread holds a lock, and ends when it lets go.
    return 0;
  }

  // A handle of our own, so the caller may close theirs meanwhile.
  own_handle own{duplicate_handle(thread)};
  if (!own.h) return kErrorInvalidHandle;
  handle_ref ref(own.h);
  thread_native* n = ref.get() ? thread_native_of(ref.get()) : nullptr;
  if (!n || !n->joinable) return kErrorInvalidHandle;
  // A thread on its way out that asks for its own end: it is ending.
  if (n->leaving.load(std::memory_order_acquire) && pthread_equal(n->thread, pthread_self()))
    return 0;
  if (wait_any(&own.h, 1, 0) == kWaitObject0) {
    after_forced_end(n);
    return 0;
  }
  if (const unsigned long error = install_handler()) return error;

  std::uint32_t expected = kKillNone;
  n->kill.compare_exchange_strong(expected, kKillAtSafePoint, std::memory_order_acq_rel);

  bool ended = signal_until_ended(own.h, n, grace_ms);
  if (!ended && !n->leaving.load(std::memory_order_acquire)) {
    const int tid = n->tid.load(std::memory_order_relaxed);
    if (log_enabled(kLogWarning))
      log_entry(kLogWarning, L"terminate_thread - thread [" + std::to_wstring(tid) +
                                 L"] reached no safe point within [" + std::to_wstring(grace_ms) +
                                 L"] ms, ending it wherever it is");
    expected = kKillAtSafePoint;
    n->kill.compare_exchange_strong(expected, kKillNow, std::memory_order_acq_rel);
    ended = signal_until_ended(own.h, n, grace_ms);
  }
  if (!ended && n->leaving.load(std::memory_order_acquire)) {
    // Past its body (its thread-local objects' destructors may still run):
    // it ends by itself, and no request stops it any more.
    if (wait_any(&own.h, 1, kHeldOffMs) != kWaitObject0) return kErrorTimeout;
    ended = true;
  }
  if (!ended && n->held_off.load(std::memory_order_acquire)) {
    // The thread is inside one of the library's locks (or a caller's
    // critical_section): ended there, it would leave the lock held for
    // good. It ends itself when it lets go; the request stays, so it never
    // runs on past that point, even when this wait gives up.
    if (log_enabled(kLogWarning))
      log_entry(kLogWarning, L"terminate_thread - thread [" +
                                 std::to_wstring(n->tid.load(std::memory_order_relaxed)) +
                                 L"] holds a lock; it ends when it lets go");
    if (wait_any(&own.h, 1, kHeldOffMs) != kWaitObject0) return kErrorTimeout;
    ended = true;
  }
  if (!ended) {
    expected = kKillNow;
    if (n->kill.compare_exchange_strong(expected, kKillNone, std::memory_order_acq_rel)) {
      if (log_enabled(kLogError))
        log_entry(kLogError, L"terminate_thread - thread [" +
                                 std::to_wstring(n->tid.load(std::memory_order_relaxed)) +
                                 L"] did not end; it blocks the signal that ends it");
      return kErrorTimeout;
    }
    // The handler is ending the thread right now.
    wait_any(&own.h, 1, INFINITE);
  }
  after_forced_end(n);
  return 0;
}

}  // namespace krCore::detail
