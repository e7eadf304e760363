// Signals taken over from the host and passed on to its disposition (see
// signal_chain.h).
#include "foundation/linux/signal_chain.h"

#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>

namespace krCore::detail {
namespace {

// Its address is the mark: unique to this copy of the library.
const char g_mark = 0;

void take_default_action(int sig, const siginfo_t* info) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // A fault comes back as its instruction runs again; a sent signal or a
  // trap (which does not run again) is sent again, pending until the
  // handler returns. raise fails only for an invalid signal number.
  if (info->si_code <= 0 || sig == SIGTRAP) (void)raise(sig);
}

bool is_fault_signal(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP;
}

}  // namespace

int chained_signal::install(int sig, void (*handler)(int, siginfo_t*, void*), int flags,
                            const sigset_t& mask) {
  // The host's disposition is read before ours is in place, so a signal
  // that arrives the moment it is, on any thread, finds it.
  if (sigaction(sig, nullptr, &_previous) != 0) return errno;
  struct sigaction sa {};
  sa.sa_sigaction = handler;
  sa.sa_flags = SA_SIGINFO | flags;
  sa.sa_mask = mask;
  return sigaction(sig, &sa, nullptr) == 0 ? 0 : errno;
}

void chained_signal::pass_on(int sig, siginfo_t* info, void* context) {
  const struct sigaction& prev = _previous;
  // SIG_DFL and SIG_IGN read the same in either member, whatever SA_SIGINFO
  // says.
  if (prev.sa_handler == SIG_DFL ||
      ((prev.sa_flags & SA_RESETHAND) && _reset_done.exchange(true, std::memory_order_acq_rel))) {
    take_default_action(sig, info);
    return;
  }
  if (prev.sa_handler == SIG_IGN) {
    // A fault ignored would only run again: it takes its default action.
    // Anything else the kernel sends is dropped, as it would have been.
    if (info->si_code > 0 && is_fault_signal(sig)) take_default_action(sig, info);
    return;
  }
  sigset_t during;
  sigorset(&during, &prev.sa_mask, &static_cast<const ucontext_t*>(context)->uc_sigmask);
  if (prev.sa_flags & SA_NODEFER)
    sigdelset(&during, sig);
  else
    sigaddset(&during, sig);
  sigset_t mine;
  pthread_sigmask(SIG_SETMASK, &during, &mine);
  if (prev.sa_flags & SA_SIGINFO)
    prev.sa_sigaction(sig, info, context);
  else
    prev.sa_handler(sig);
  pthread_sigmask(SIG_SETMASK, &mine, nullptr);
}

int send_marked(pthread_t thread, int sig) {
  sigval value{};
  value.sival_ptr = const_cast<char*>(&g_mark);
  return pthread_sigqueue(thread, sig, value);
}

int send_marked(int tid, int sig) {
  siginfo_t info{};
  info.si_signo = sig;
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_ptr = const_cast<char*>(&g_mark);
  return ::syscall(SYS_rt_tgsigqueueinfo, getpid(), tid, sig, &info) == 0 ? 0 : errno;
}

bool is_marked(const siginfo_t* info) {
  return info->si_code == SI_QUEUE && info->si_pid == getpid() &&
         info->si_value.sival_ptr == &g_mark;
}

}  // namespace krCore::detail
