// Steps shared by the tests that end a worker thread by force: getting it
// stuck inside a hook, and the checks of a forced end that succeeded.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "probe_thread.h"

namespace threadtest {

// Makes the thread's next OnWakeup run `stuck` after signalling `in_hook`.
inline void get_stuck(probe_thread& t, std::function<void()> stuck) {
  krCore::manualresetevent in_hook;
  t.on_wakeup = [&in_hook, stuck = std::move(stuck)](unsigned long, unsigned long long) {
    in_hook.signal();
    stuck();
  };
  ASSERT_EQ(t.StartThread(), 1);
  t.Wakeup();
  ASSERT_TRUE(signalled(in_hook));
}

// The end of a thread stuck in a hook: the stop times out, the thread still
// runs, the forced end succeeds and no hook runs afterwards.
inline void expect_forced_end(probe_thread& t) {
  typedef std::pair<unsigned long, unsigned long> pair_t;
  EXPECT_EQ(t.StopThread(20), 258u);
  EXPECT_TRUE(t.IsRunning());
  EXPECT_EQ(t.StopAndTerminate(20), pair_t(258, 0));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(::WaitForSingleObject(t.GetHandle(), 0), 0u);
  EXPECT_EQ(::WaitForSingleObject(t.stopped, 0), 258u);  // OnStop never ran
}

}  // namespace threadtest
