// The shared terminator on the handles it is given: a thread never let
// through its start gate, one that ended by itself, and handles that are no
// threads the library started. Ended threads leak what they held, so this
// program runs outside the sanitizer pass.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <atomic>

#include "foundation/waitable.h"
#include "probe_thread.h"
#include "threading/native_thread.h"

using threadtest::signalled;

namespace {

unsigned count_runs(void* counter) {
  static_cast<std::atomic<int>*>(counter)->fetch_add(1);
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
  HANDLE self = current_thread_handle();
  EXPECT_EQ(terminate_thread(event), 6u);
  EXPECT_EQ(terminate_thread(self), 6u);
  EXPECT_FALSE(resume_thread(event));
  close_handle(event);
  close_handle(self);
}

