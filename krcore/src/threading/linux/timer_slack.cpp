// The calling thread's timer slack through prctl(PR_SET_TIMERSLACK).
#include <sys/prctl.h>

#include "threading/timer_slack.h"

namespace krCore::detail {

bool set_thread_timer_slack(unsigned long nanoseconds) {
  // 0 would mean "back to the default", not "none".
  return ::prctl(PR_SET_TIMERSLACK, nanoseconds ? nanoseconds : 1ul, 0, 0, 0) == 0;
}

}  // namespace krCore::detail
