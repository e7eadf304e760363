// The clock-change monitor: a thread with a message queue that receives the
// system's broadcasts and reports them on the debugger output.
//
// The thread makes its queue and starts the broadcast listener before the
// constructor returns, so a WM_QUIT posted by the destructor always finds
// the queue and no change that happens after instance() goes unnoticed. The
// listener is the thread's only resource besides its queue; it is stopped
// before the exited event is signalled, so nothing of the monitor runs on
// once close() has returned but the thread's own last instructions.
#include <krcore/threading.h>

#include <stdexcept>
#include <string>

#include "scheduling/broadcast.h"
#include "logging/debug_output.h"
#include "threading/native_thread.h"

namespace krCore {

KRCORE_LIBRARY_SINGLETON_DEFINITION(krMonitorWindow);
namespace {

// What the constructor hands its thread: the object, and the event the
// thread signals once its queue and listener exist.
struct start_record {
  krMonitorWindow* self;
  DWORD thread_id;
  manualresetevent ready;
};

}  // namespace

krMonitorWindow::krMonitorWindow() {
  start_record start{this, 0, {}};
  DWORD id = 0;
  HANDLE thread = detail::create_thread_gated(&notification_thread, &start, &id);
  if (!thread) throw std::runtime_error("Failed to start notification thread");
  _threadId = id;
  start.thread_id = id;
  detail::resume_thread(thread);
  // The thread signals `ready`, or ends early when something escaped; either
  // way it no longer touches `start`.
  HANDLE until[2] = {start.ready, thread};
  WaitForMultipleObjects(2, until, 0, INFINITE);
  CloseHandle(thread);
}

krMonitorWindow::~krMonitorWindow() {
  if (_exitedEvent && PostThreadMessageW(static_cast<DWORD>(_threadId), WM_QUIT, 0, 0))
    WaitForSingleObject(_exitedEvent, INFINITE);
}

void krMonitorWindow::close() { destroy_instance(); }

unsigned int krMonitorWindow::notification_thread(void* param) {
  auto* start = static_cast<start_record*>(param);
  krMonitorWindow* self = start->self;
  unsigned int result = 0;
  try {
    // The first look at the queue makes it, so posts reach this thread.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    // Stands in for the hidden window: what makes broadcasts arrive here.
    // A listener that cannot be made leaves the loop with only the quit and
    // shutdown requests to wait for.
    std::unique_ptr<detail::broadcast_listener> listener =
        detail::listen_for_broadcasts(start->thread_id);
    start->ready.signal();
    start = nullptr;
    result = self->run();
    listener.reset();
  } catch (const std::exception& e) {
    detail::debug_output(
        std::string("krMonitorWindow::notification_thread() - Unexpected exception [") + e.what() +
        "], exiting.");
  } catch (...) {
    detail::debug_output(
        L"krMonitorWindow::notification_thread() - Unexpected unknown exception, exiting.");
  }
  self->_exitedEvent.signal();
  return result;
}

unsigned long krMonitorWindow::run() {
  HANDLE handles[1] = {_shutdownEvent};
  bool running = true;
  while (running) {
    const DWORD r = MsgWaitForMultipleObjects(1, handles, 0, INFINITE, QS_ALLINPUT);
    if (r == 0) {
      detail::debug_output(L"krMonitorWindow::run() - shutdown was signaled.");
      break;
    }
    if (r == 1) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        switch (msg.message) {
          case WM_QUIT:
            detail::debug_output(L"krMonitorWindow::run() - WM_QUIT was processed.");
            running = false;
            break;
          case WM_TIMECHANGE:
            detail::debug_output(L"krMonitorWindow::run() - WM_TIMECHANGE was processed.");
            break;
          default:
            detail::dispatch_message(msg);
            break;
        }
      }
      continue;
    }
    if (r == 0x80 || r == 0xFFFFFFFF) {
      detail::debug_output(L"krMonitorWindow::run() - wait failed.");
      break;
    }
    detail::debug_output(L"krMonitorWindow::run() - Unexpected wait result [" + std::to_wstring(r) +
                         L"], ignoring.");
  }
  return GetLastError();
}

}  // namespace krCore
