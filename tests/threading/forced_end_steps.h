// Steps shared by the tests that end a worker thread by force: getting it
// stuck inside a hook, and the checks of a forced end that succeeded.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "probe_thread.h"

namespace threadtest {

// Runs `step` on a thread of its own and tells whether it came back within
// `bound_ms`; a step that hangs keeps its (detached) thread and what it uses.
inline bool returns(std::function<void()> step, unsigned long bound_ms = kStepMs) {
  auto done = std::make_shared<krCore::manualresetevent>();
  std::thread([done, step = std::move(step)] {
    step();
    done->signal();
  }).detach();
  return signalled(*done, bound_ms);
}

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

// Ends the thread by a stop that does not wait, over and over, at whatever
// point of its life the stop finds it: still behind its start gate, in the
// system's start-up of the thread, in its hooks, or on its way out after
// OnStop. Each time it ends, never left marked.
inline void end_at_every_point_of_its_life(probe_thread& t) {
  for (int round = 0; round < 40; ++round) {
    ASSERT_EQ(t.StartThread(), 1) << "round " << round;
    if (round % 2) t.Wakeup();
    std::pair<unsigned long, unsigned long> result{~0ul, ~0ul};
    const unsigned long wait_ms = round % 4 < 2 ? 0 : 1;
    ASSERT_TRUE(returns([&t, &result, wait_ms] { result = t.StopAndTerminate(wait_ms); }))
        << "StopAndTerminate hung, round " << round;
    EXPECT_EQ(result.second, 0u) << "round " << round;
    // A thread that stopped in time was let go with its handle.
    if (result.first != 0) {
      ASSERT_TRUE(signalled(t.GetHandle(), 0)) << "round " << round;
    }
  }
}

}  // namespace threadtest
