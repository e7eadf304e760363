// The agent's stop requests on Linux: SIGINT and SIGTERM, blocked in every
// thread and taken synchronously by the main thread's wait.
#include "stop.h"

#include <signal.h>
#include <time.h>

#include <cerrno>

namespace qmagent {

const char* const kStopRequests = "SIGINT or SIGTERM";

namespace {
sigset_t stop_signals;
}  // namespace

bool arm_stop_requests() {
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return true;
}

const char* wait_for_stop(double duration_s) {
  for (;;) {
    int sig;
    if (duration_s > 0) {
      timespec limit;
      limit.tv_sec = static_cast<time_t>(duration_s);
      limit.tv_nsec = static_cast<long>((duration_s - static_cast<double>(limit.tv_sec)) * 1e9);
      sig = ::sigtimedwait(&stop_signals, nullptr, &limit);
    } else {
      sig = ::sigwaitinfo(&stop_signals, nullptr);
    }
    if (sig > 0) return sig == SIGINT ? "SIGINT" : "SIGTERM";
    if (errno == EAGAIN) return "duration";
    // EINTR: another signal; a restarted wait would count the duration
    // again, which a demo can live with.
  }
}

void stopped() {}

}  // namespace qmagent
