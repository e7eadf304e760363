// The monitor thread's message queue on Windows: the system gives a thread a
// queue only once it looks at it, and a message posted before then is
// refused. The monitor's queue must exist by the time instance() returns,
// so that the WM_QUIT of an immediate close() is taken and close() returns
// only after the thread has finished.
#include <gtest/gtest.h>
#include <krcore/threading.h>
#include <windows.h>

#include "threading/monitor_lines.h"

TEST(MonitorQueueOnWindows, AnImmediateCloseFindsTheQueueAndWaitsForTheThread) {
  for (int round = 0; round < 5; ++round) {
    monitor_lines seen;
    krCore::singleton<krCore::krMonitorWindow>::instance();
    krCore::krMonitorWindow::close();
    // close() waited for the thread, which took the quit message.
    EXPECT_EQ(seen.count(kQuitLine), 1) << "round " << round;
  }
}
