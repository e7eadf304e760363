// The clock-change monitor: krMonitorWindow, a thread of its own that
// receives the system's broadcast messages and reports clock and time-zone
// changes.
#pragma once

#include <krcore/export.h>
#include <krcore/singleton.h>
#include <krcore/sync.h>

namespace krCore {

class krMonitorWindow;
KRCORE_LIBRARY_SINGLETON(krMonitorWindow);

// A thread of its own that receives the system's broadcast messages and
// reports each one it knows on the debugger output. Here that is a setting
// of the wall clock (clock_settime, settimeofday, a step by a time daemon;
// not a gradual slew) or a replacement of the local time zone, both received
// as WM_TIMECHANGE; the C library's local-time rules are brought up to date
// (tzset) before the message arrives, so local times follow at once.
// Lifetime: singleton<krMonitorWindow>::instance() makes it and starts the
// thread, and returns once changes are being noticed; it throws
// std::runtime_error "Failed to start notification thread" when the thread
// cannot be started (no instance is published then). close() ends the
// thread and returns after it has left its loop. Thread-safety: instance()
// and close() may be called from any thread; close() must not race with
// callers still holding the old instance pointer.
class KRCORE_API krMonitorWindow : public singleton<krMonitorWindow> {
  friend class singleton<krMonitorWindow>;
  friend class singleton_base<krMonitorWindow>;

 public:
  // Destroys the instance under the singleton's lock: posts WM_QUIT to the
  // thread and waits for it to leave its loop. No-op without an instance; a
  // later instance() makes a new one.
  static void close();

 private:
  krMonitorWindow();
  ~krMonitorWindow() override;

  // The thread's body (argument: the start record of the constructor).
  static unsigned int notification_thread(void* param);
  // The message loop; returns the thread's last error code.
  unsigned long run();

  autoresetevent _shutdownEvent;  // ends the loop when signalled
  manualresetevent _exitedEvent;  // signalled when the thread leaves
  unsigned long _threadId = 0;
};

}  // namespace krCore
