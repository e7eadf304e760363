// A pool item ended by force while it holds one of the library's locks: the
// end waits until it lets go, so the lock stays usable for everybody else,
// the pool's own shutdown included. The item stops inside the first lock an
// operation takes through the lock's test probe, so this program links the
// library's objects. Threads ended by force never run their exit code,
// which a leak checker reports, so it runs outside the sanitizer pass.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <krcore/diagnostics.h>
#include <krcore/threading.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "foundation/kill_hold.h"
#include "foundation/waitable.h"
#include "threading/linux/thread_native.h"
#include "threading/native_thread.h"
#include "forced_end_steps.h"
#include "pool_probe.h"

using pooltest::probe_work;
using threadtest::kStepMs;
using threadtest::returns;
using threadtest::signalled;

namespace {

krCore::manualresetevent* g_inside = nullptr;

// The probe: says the thread is inside the lock, then stays there until a
// forced end of the thread has been asked for.
void stay_until_ended() {
  g_inside->signal();
  while (!*static_cast<volatile bool*>(&krCore::detail::t_kill_held_off)) ::sched_yield();
}

// Runs `operation` in a pool item that stops inside the first library lock
// the operation takes, ends the item's thread by force, and runs the
// operation again on another thread. The item goes into the operation once
// the forced end has begun (its first signal came): the terminator needs
// the handle table itself before it asks.
void expect_lock_left_free(const std::function<void()>& operation) {
  krCore::threadpool pool(1, krCore::threadpool::MAX_QUEUE_SIZE);
  ASSERT_EQ(pool.start(), 1);
  krCore::manualresetevent running;
  krCore::manualresetevent inside;
  g_inside = &inside;
  HANDLE thread = nullptr;
  auto item = std::make_shared<probe_work>([&] {
    thread = krCore::detail::current_thread_handle();
    running.signal();
    while (krCore::detail::t_native->deliveries.load() == 0) ::sched_yield();
    krCore::detail::t_lock_probe = &stay_until_ended;
    operation();
  });
  pool.submitwork(item);
  ASSERT_TRUE(signalled(running));

  // Ample time to reach the lock after the first signal; past it, the end
  // would come wherever the thread is.
  constexpr DWORD kGraceMs = 2000;
  DWORD ended = ~0u;
  ASSERT_TRUE(returns([&] { ended = krCore::detail::terminate_thread(thread, kGraceMs); }))
      << "the forced end hung";
  EXPECT_EQ(ended, 0u);
  EXPECT_TRUE(signalled(inside, 0)) << "the operation took no library lock";
  EXPECT_FALSE(item->completed());
  EXPECT_TRUE(returns(operation)) << "the lock was left held";
  ::CloseHandle(thread);
  EXPECT_TRUE(returns([&pool] { pool.shutdown(kStepMs); })) << "the pool's shutdown hung";
}

}  // namespace

TEST(LockForcedEnd, HandleTableStaysUsable) {
  expect_lock_left_free([] { krCore::manualresetevent event; });
}

TEST(LockForcedEnd, NamedObjectTableStaysUsable) {
  const std::wstring name = L"qmcore-lock-end-" + std::to_wstring(::getpid());
  expect_lock_left_free([&name] { krCore::mutex named(false, name); });
}

TEST(LockForcedEnd, SymbolHandlerStaysUsable) {
  expect_lock_left_free([] {
    std::ostringstream trace;
    sym_engine::stack_trace(trace);
  });
}
