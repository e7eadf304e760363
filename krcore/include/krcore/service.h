// Running as a system service: the stop requests a service manager sends
// (SIGTERM, and SIGINT from a terminal) and the readiness, status and
// watchdog messages it listens for on its notification socket. A program
// uses a service_host instead of writing its own signal loop:
//
//   krCore::service_host host;              // before or after threads start
//   ... start the work ...
//   host.ready("running");                  // READY=1 and STATUS=running
//   int sig = host.wait_for_stop(0);        // keeps the watchdog fed
//   host.stopping();                        // STOPPING=1
//
// Outside a service manager ($NOTIFY_SOCKET unset) the messages are no-ops
// and the stop requests work as they do under it. Linux only for now.
#pragma once

#include <krcore/export.h>

#include <cstdint>
#include <functional>
#include <string_view>

namespace krCore {

// Sends one notification message ("READY=1", "STATUS=text", "WATCHDOG=1",
// "STOPPING=1", several joined by '\n') to the socket that $NOTIFY_SOCKET
// names: a path, or an abstract socket name written with a leading '@'.
// Returns 0 when sent; ERROR_NOT_SUPPORTED (50) when the variable is unset or
// empty (the program does not run under a service manager); 161 for a name
// no socket address can hold; else the Win32 code of the failed send.
// Thread-safety: any thread; each call opens its own socket. Never throws.
KRCORE_API unsigned long service_notify(std::string_view message) noexcept;

// The interval, in microseconds, at which the service manager expects
// "WATCHDOG=1" from this process: $WATCHDOG_USEC, or 0 when it is unset,
// not a positive number, or meant for another process ($WATCHDOG_PID names
// another process id). Never throws.
KRCORE_API std::uint64_t service_watchdog_usec() noexcept;

// The stop requests of a service: while one is alive, SIGTERM and SIGINT
// are caught by a handler that only writes the signal's number to a pipe
// (safe in a signal handler, whichever thread takes the signal), and
// wait_for_stop reads it. No other signal is touched and no signal mask is
// changed, so the host's own handlers and its threads' masks stay as they
// were. Thread-safety: one service_host at a time in a process; the messages
// may be sent from any thread, wait_for_stop and set_health_check from one
// thread at a time. Lifetime: the destructor puts back the dispositions
// SIGTERM and SIGINT had before. Errors: the constructor throws krException
// with ERROR_ALREADY_EXISTS (183) while another service_host is alive, or the
// Win32 code of a pipe or sigaction failure; nothing else throws.
class KRCORE_API service_host {
 public:
  service_host();
  ~service_host();
  service_host(const service_host&) = delete;
  service_host& operator=(const service_host&) = delete;

  // Waits up to `timeout_s` seconds (0 or less: without limit) for SIGTERM
  // or SIGINT and returns that signal's number, or 0 when the time ran out.
  // A request that came before the call is returned at once. While waiting
  // under a watchdog (service_watchdog_usec() > 0) it sends "WATCHDOG=1" at
  // half the interval, each time only if the health check (when one is set)
  // answers true: a program whose work hangs stops feeding the watchdog and
  // is restarted by the manager.
  int wait_for_stop(double timeout_s) noexcept;

  // Whether a stop request came and was not yet returned by wait_for_stop.
  bool stop_requested() const noexcept;

  // The check wait_for_stop asks before each "WATCHDOG=1"; empty: always
  // healthy. Call it while no wait_for_stop runs. The check runs on the
  // waiting thread and must not throw (a throw counts as unhealthy).
  void set_health_check(std::function<bool()> check);

  // "READY=1", with "STATUS=<status>" when `status` is not empty.
  unsigned long ready(std::string_view status = {}) noexcept;
  // "STATUS=<status>": one line shown by the manager (systemctl status).
  unsigned long status(std::string_view status) noexcept;
  // "STOPPING=1", with "STATUS=<status>" when `status` is not empty.
  unsigned long stopping(std::string_view status = {}) noexcept;

 private:
  std::function<bool()> _health;
};

}  // namespace krCore
