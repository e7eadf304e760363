// The command scheduler's order lock and the forced end on Windows. The
// scheduler's thread holds that lock while it takes a batch, and the pool
// thread standing in for it takes it too; a thread ended by force while it
// held the lock would leave it held, and the scheduler's next batch would
// wait forever. So a thread asked to end while holding it is only marked,
// and ends as it lets go.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/threading.h>

#include <atomic>
#include <memory>
#include <vector>

#include "foundation/kill_hold.h"
#include "scheduling/command_standby.h"
#include "threading/native_thread.h"

using namespace krCore::detail;

namespace {

constexpr DWORD kBoundMs = 60000;

struct standby_state {
  command_standby standby{command_standby::scheduler_calls{
      [] { return 0.0; }, [](std::vector<std::shared_ptr<krCore::IThreadwork>>&) { return -1.0; },
      [] {}}};
  krCore::manualresetevent inside;
  krCore::manualresetevent never;
  std::atomic<bool> ran_on{false};
};

// Takes the order lock as the scheduler's thread does and keeps it, waiting
// in a plain system wait, until a forced end has been asked for.
unsigned hold_order_until_marked(void* argument) {
  auto* state = static_cast<standby_state*>(argument);
  std::vector<std::shared_ptr<krCore::IThreadwork>> ready;
  {
    auto order = state->standby.begin_batch(ready);
    ::SetEvent(state->inside);
    while (!t_kill_held_off) ::WaitForSingleObject(state->never, 1);
  }
  state->ran_on = true;  // must not be reached: the thread ends as it lets go
  return 0;
}

DWORD WINAPI call_terminate(void* thread) { return terminate_thread(static_cast<HANDLE>(thread)); }

DWORD WINAPI take_order(void* argument) {
  std::vector<std::shared_ptr<krCore::IThreadwork>> ready;
  auto order = static_cast<standby_state*>(argument)->standby.begin_batch(ready);
  return 0;
}

// Runs `start` with `argument` on a thread of its own; its exit code, or
// ~0 when it did not return within the bound (the thread is then left).
DWORD run_bounded(LPTHREAD_START_ROUTINE start, void* argument) {
  const HANDLE thread = ::CreateThread(nullptr, 0, start, argument, 0, nullptr);
  DWORD code = ~0u;
  if (thread && ::WaitForSingleObject(thread, kBoundMs) == WAIT_OBJECT_0)
    ::GetExitCodeThread(thread, &code);
  if (thread) ::CloseHandle(thread);
  return code;
}

}  // namespace

TEST(StandbyForcedEnd, AThreadHoldingTheOrderLockEndsAsItLetsGoAndTheLockIsFree) {
  // Leaked on failure: a thread left running may still use it.
  auto state = std::make_unique<standby_state>();
  DWORD id = 0;
  const HANDLE thread = create_thread_gated(&hold_order_until_marked, state.get(), &id);
  ASSERT_NE(thread, nullptr) << ::GetLastError();
  ASSERT_TRUE(resume_thread(thread));
  if (::WaitForSingleObject(state->inside, kBoundMs) != WAIT_OBJECT_0) {
    state.release();
    FAIL() << "the thread never took the lock";
  }
  EXPECT_EQ(run_bounded(&call_terminate, thread), 0u) << "terminate_thread failed or hung";
  EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "the thread is still running";
  EXPECT_FALSE(state->ran_on) << "the thread ran on after its forced end";
  if (run_bounded(&take_order, state.get()) != 0) {
    state.release();
    FAIL() << "the ended thread left the order lock held";
  }
  ::CloseHandle(thread);
}
