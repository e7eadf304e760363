// The agent's stop requests on Windows. A console program has no signals:
// the console sends control events (Ctrl-C, Ctrl-Break, its window being
// closed, logoff, shutdown) to a handler on a thread of its own, and another
// process reaches the agent through a named event, which `qmagent --stop`
// signals.
#include "stop.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace qmagent {

const char* const kStopRequests = "Ctrl-C or --stop";

namespace {

// The session's stop event. Manual reset, so that one request reaches every
// agent of the session.
constexpr const wchar_t* kStopEventName = L"Local\\qmagent.stop";

HANDLE session_event = nullptr;  // the named event
HANDLE console_event = nullptr;  // signalled by the console handler
HANDLE done_event = nullptr;     // signalled by stopped()
std::atomic<const char*> console_reason{nullptr};

const char* console_event_name(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
      return "Ctrl-C";
    case CTRL_BREAK_EVENT:
      return "Ctrl-Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    case CTRL_LOGOFF_EVENT:
      return "logoff";
    default:
      return "shutdown";
  }
}

BOOL WINAPI on_console_event(DWORD type) {
  const char* expected = nullptr;
  console_reason.compare_exchange_strong(expected, console_event_name(type));
  ::SetEvent(console_event);
  // The system ends the process as soon as the handler of these returns
  // (and by force after about 5 s): hold it until the agent has closed its
  // log.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    ::WaitForSingleObject(done_event, 4500);
  return TRUE;
}

}  // namespace

bool arm_stop_requests() {
  session_event = ::CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
  if (!session_event) {
    (void)std::fprintf(stderr, "qmagent: cannot create the stop event (error %lu)\n",
                       ::GetLastError());
    return false;
  }
  // A request made while an earlier agent was stopping may still be
  // signalled; it was not meant for this one.
  if (::GetLastError() == ERROR_ALREADY_EXISTS) ::ResetEvent(session_event);
  console_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  done_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!console_event || !done_event || !::SetConsoleCtrlHandler(on_console_event, TRUE)) {
    (void)std::fprintf(stderr, "qmagent: cannot watch the console (error %lu)\n", ::GetLastError());
    return false;
  }
  return true;
}

const char* wait_for_stop(double duration_s) {
  const HANDLE requests[] = {console_event, session_event};
  const DWORD timeout =
      duration_s > 0 ? static_cast<DWORD>(std::min(duration_s * 1000.0, 4294967294.0)) : INFINITE;
  const DWORD which = ::WaitForMultipleObjects(2, requests, FALSE, timeout);
  if (which == WAIT_OBJECT_0) return console_reason.load();
  if (which == WAIT_OBJECT_0 + 1) return "stop request";
  if (which == WAIT_TIMEOUT) return "duration";
  return "a failed wait";
}

void stopped() { ::SetEvent(done_event); }

// The service control manager has no such messages for a console program.
void report_ready(const std::string&) {}
void report_status(const std::string&) {}
void report_stopping(const std::string&) {}
// The signature is the Linux half's, which keeps the check it is given.
void set_health_check(std::function<bool()>) {}  // NOLINT(performance-unnecessary-value-param)

int request_stop() {
  const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName);
  if (!event) {
    (void)std::fprintf(stderr, "qmagent: no agent runs in this session (error %lu)\n",
                       ::GetLastError());
    return 1;
  }
  const bool asked = ::SetEvent(event) != 0;
  ::CloseHandle(event);
  if (!asked) {
    (void)std::fprintf(stderr, "qmagent: the stop event cannot be signalled\n");
    return 1;
  }
  std::printf("qmagent: asked the running agent(s) to stop\n");
  return 0;
}

}  // namespace qmagent
