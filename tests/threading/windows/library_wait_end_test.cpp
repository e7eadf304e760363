// The forced end of a worker thread that waits inside the library, seen as
// an outside program sees it (this program links qmcore.dll). The library's
// module is not the program's own code, and a module that waits may hold a
// lock of its own meanwhile; the library's own waits hold none, so a thread
// blocked in one is ended there at once, not left to run on.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/sync.h>

#include <string>

#include "threading/forced_end_steps.h"
#include "threading/probe_thread.h"

using threadtest::probe_thread;

TEST(LibraryWaitForcedEnd, AThreadWaitingForANamedMutexIsEndedInTheWait) {
  const std::wstring name = L"qmcore-library-wait-" + std::to_wstring(::GetCurrentProcessId());
  krCore::mutex held(true, name);  // owned by this thread until the end
  ASSERT_TRUE(held.own());
  probe_thread t;
  threadtest::get_stuck(t, [&name] {
    krCore::mutex same(false, name);
    same.aquire(-1);
  });
  threadtest::expect_forced_end(t);
  EXPECT_EQ(held.release(), 0u);
}
