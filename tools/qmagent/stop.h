// How the demo agent is told to stop. Each platform has its own ways: on
// Linux SIGINT and SIGTERM (what a terminal and systemd send); on Windows
// Ctrl-C or Ctrl-Break, the console being closed, logoff or shutdown, and
// `qmagent --stop`, which signals a named event every running agent of the
// session waits on. stop_linux.cpp and stop_windows.cpp implement this.
#pragma once

#include <functional>
#include <string>

namespace qmagent {

// What stops the agent, in words for the help text and the start message.
extern const char* const kStopRequests;

// Arms the stop requests. Call once, on the main thread, before any other
// thread starts (on Linux the stop signals are blocked there, so that every
// later thread inherits the mask and only wait_for_stop receives them).
// Returns false, after printing why on standard error, when it cannot.
bool arm_stop_requests();

// Waits on the main thread for a stop request for up to `duration_s`
// seconds, or without limit for 0. Returns what stopped the agent ("SIGINT",
// "Ctrl-C", "stop request", ...), or "duration".
const char* wait_for_stop(double duration_s);

// Says that the agent has shut its services down and closed its log: a
// console being closed is held open until then (Windows); no-op elsewhere.
void stopped();

// What the service manager shows of the agent (Linux, under systemd with
// Type=notify; no-ops elsewhere): ready with a first status line, a new
// status line, and the start of its stop.
void report_ready(const std::string& status);
void report_status(const std::string& status);
void report_stopping(const std::string& status);

// The check wait_for_stop asks before each keep-alive it sends to the
// service manager's watchdog: a hung agent stops sending and is restarted.
// Set it before wait_for_stop. No-op on Windows.
void set_health_check(std::function<bool()> check);

#ifdef _WIN32
// `qmagent --stop`: asks the running agents of this session to stop.
// Returns the exit code: 0 when they were asked, 1 when none runs.
int request_stop();
#endif

}  // namespace qmagent
