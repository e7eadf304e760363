// Internal: the system broadcasts a thread can receive as messages.
//
// Some system events reach every interested program as a message in a
// thread's queue rather than as a call: here, a change of the wall clock or
// of the local time zone arrives as WM_TIMECHANGE. A listener delivers them
// to one thread for as long as it exists. The platform halves are
// linux/clock_watch.cpp (a clock and zone watch posting the message) and
// windows/notification_window.cpp (a hidden window receiving it).
#pragma once

#include <krcore/wintypes.h>

#include <memory>

#include "foundation/internal.h"

namespace krCore::detail {

// Ends the delivery when destroyed; no message is posted after that.
class broadcast_listener {
 public:
  virtual ~broadcast_listener() = default;
};

// Starts posting the system's broadcast messages to the queue of thread
// `thread_id` (see PostThreadMessageW). Null when the system refuses the
// resources it needs; the caller then simply receives no broadcasts. The
// local-time rules of the C library follow every clock or zone change
// before the message is posted. Never throws.
// Must be called on thread `thread_id`, and the listener destroyed there:
// where the listener is a window, the window belongs to that thread.
KRCORE_INTERNAL std::unique_ptr<broadcast_listener> listen_for_broadcasts(DWORD thread_id) noexcept;

// Hands a message the listening thread took from its queue (other than
// WM_QUIT and WM_TIMECHANGE) to the window it was sent to, if any. Never
// throws.
KRCORE_INTERNAL void dispatch_message(const MSG& msg) noexcept;

}  // namespace krCore::detail
