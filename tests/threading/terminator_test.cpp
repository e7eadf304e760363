// The shared terminator on the handles it is given: a thread never let
// through its start gate, one that ended by itself, one on its way out, and
// handles that are no threads the library started. Ended threads leak what
// they held, so this program runs outside the sanitizer pass.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <atomic>
#include <thread>

#include "foundation/waitable.h"
#include "probe_thread.h"
#include "threading/native_thread.h"

using threadtest::signalled;

namespace {

unsigned count_runs(void* counter) {
  static_cast<std::atomic<int>*>(counter)->fetch_add(1);
  return 0;
}

// Holds a thread on its way out: the destructor of a thread-local object
// runs after the thread's body has returned, as the thread exits.
struct way_out {
  krCore::manualresetevent on_it;
  krCore::manualresetevent let_go;
};

struct held_on_the_way_out {
  way_out* steps = nullptr;
  ~held_on_the_way_out() {
    if (!steps) return;
    steps->on_it.signal();
    ::WaitForSingleObject(steps->let_go, INFINITE);
  }
};

unsigned return_into_a_slow_exit(void* steps) {
  thread_local held_on_the_way_out held;
  held.steps = static_cast<way_out*>(steps);
  return 0;
}

}  // namespace

TEST(ForcedEnd, TheSharedTerminatorHandlesGatedEndedAndForeignHandles) {
  using namespace krCore::detail;
  std::atomic<int> runs{0};
  DWORD id = 0;
  // A thread never let through its start gate (a pool's failed start).
  HANDLE gated = create_thread_gated(&count_runs, &runs, &id);
  ASSERT_NE(gated, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(terminate_thread(gated), 0u);
  EXPECT_EQ(::WaitForSingleObject(gated, 0), 0u);
  EXPECT_TRUE(resume_thread(gated));  // too late: the body never runs
  EXPECT_EQ(runs.load(), 0);
  EXPECT_TRUE(close_handle(gated));

  // A thread that ended by itself.
  HANDLE done = create_thread_gated(&count_runs, &runs, &id);
  ASSERT_TRUE(resume_thread(done));
  ASSERT_TRUE(signalled(done));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(terminate_thread(done), 0u);
  EXPECT_TRUE(close_handle(done));

  // Handles that are not threads started by the library.
  HANDLE event = create_event(true, false, L"");
  EXPECT_EQ(terminate_thread(event), 6u);
  EXPECT_FALSE(resume_thread(event));
  close_handle(event);
#ifndef _WIN32
  HANDLE self = current_thread_handle();
  EXPECT_EQ(terminate_thread(self), 6u);
  close_handle(self);
#endif
}

// Past its body, in its exit steps, a thread is still one the library
// started: it cannot be taken there any more, and ends by itself. The
// terminator waits for that and answers that it has ended.
TEST(ForcedEnd, TheSharedTerminatorWaitsForAThreadOnItsWayOut) {
  using namespace krCore::detail;
  way_out steps;
  DWORD id = 0;
  HANDLE thread = create_thread_gated(&return_into_a_slow_exit, &steps, &id);
  ASSERT_NE(thread, nullptr);
  // Running before the thread sets out: on Windows a thread's start-up
  // waits for the loader's lock, which an exiting thread may hold.
  krCore::manualresetevent ready, go, answered;
  DWORD answer = ~0u;
  bool ended_when_answered = false;
  std::thread terminator([&] {
    ready.signal();
    ::WaitForSingleObject(go, INFINITE);
    answer = terminate_thread(thread);
    ended_when_answered = ::WaitForSingleObject(thread, 0) == 0;
    answered.signal();
  });
  const bool started = signalled(ready) && resume_thread(thread);
  const bool on_its_way_out = started && signalled(steps.on_it);
  go.signal();
  // A terminator that takes the thread for a stranger, or for one it failed
  // to end, answers within a second; one that waits for it answers only
  // once it is let go.
  signalled(answered, 1000);
  steps.let_go.signal();
  terminator.join();
  ASSERT_TRUE(on_its_way_out);
  EXPECT_EQ(answer, 0u);
  EXPECT_TRUE(ended_when_answered);
  close_handle(thread);
}

