// Internal: how late the kernel may end the calling thread's timed waits.
//
// The kernel lets a sleeping thread's time-outs run late by its timer slack
// (50 µs by default) so that it can merge wake-ups; a thread whose waits end
// at due moments (the command scheduler's) asks for less. The Linux
// implementation is in linux/.
#pragma once

#include "foundation/internal.h"

namespace krCore::detail {

// Sets the calling thread's timer slack to `nanoseconds` (at least 1).
// Returns false when the system refuses; the waits then merely run later.
KRCORE_INTERNAL bool set_thread_timer_slack(unsigned long nanoseconds);

}  // namespace krCore::detail
