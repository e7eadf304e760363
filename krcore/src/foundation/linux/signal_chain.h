// Internal, Linux only: signals whose handler the library installs over
// whatever the host had, and the host's disposition kept behind it.
//
// The library handles the faults it translates and two real-time signals
// of its own (a forced thread end, and lowering capabilities on another
// thread). Whatever such a handler does not take for itself goes on to the
// disposition it replaced, delivered as the kernel would have delivered it
// there. The library's own real-time signals carry a mark (si_code SI_QUEUE
// and a value unique to this copy of the library, sent from this process),
// so a host's signal, or another copy's, is told apart and passed on.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "foundation/internal.h"

namespace krCore::detail {

// One signal taken over from the host. Static storage: handlers read it at
// any moment, also during static destruction.
class KRCORE_INTERNAL chained_signal {
 public:
  // Installs `handler` for `sig` (SA_SIGINFO plus `flags`; `mask` blocked
  // while it runs) and keeps the disposition it replaces. 0 or errno. Not
  // thread-safe: called once per signal.
  int install(int sig, void (*handler)(int, siginfo_t*, void*), int flags, const sigset_t& mask);

  // From the library's handler: hands the signal to the kept disposition.
  // A handler runs with its own mask added to the interrupted code's and
  // with the signal blocked unless it asked for SA_NODEFER; a one-shot
  // handler (SA_RESETHAND) runs once, and the default action after it. The
  // default action is taken by putting it back: a fault re-executes its
  // instruction, a sent signal or a trap is raised again. An ignored fault
  // takes the default action too, as the kernel forces it. Async-signal-safe.
  void pass_on(int sig, siginfo_t* info, void* context);

 private:
  struct sigaction _previous {};
  std::atomic<bool> _reset_done{false};  // the one-shot handler has run
};

// Sends `sig` to `thread` (of this process) with the library's mark. 0 or
// errno (ESRCH: the thread has ended).
KRCORE_INTERNAL int send_marked(pthread_t thread, int sig);
// The same, to the thread with kernel id `tid`.
KRCORE_INTERNAL int send_marked(int tid, int sig);

// Whether the signal `info` describes was sent by send_marked of this copy
// of the library.
KRCORE_INTERNAL bool is_marked(const siginfo_t* info);

}  // namespace krCore::detail
