// Waits on events, semaphores, mutexes and thread handles within one
// process: which object a wait takes, what it consumes, time-outs, invalid
// handles and the rules of each kind.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sync_test_support.h"
#include "foundation/waitable.h"

namespace {

using krCore::detail::kWaitAbandoned0;
using krCore::detail::kWaitFailed;
using krCore::detail::kWaitTimedOut;

// Handles for a wait set written as tokens: a0/a1 auto-reset event
// unsignalled or signalled, m0/m1 manual-reset event, s<n> semaphore with
// count n (maximum 9), x a free mutex, c a closed handle, i a value that never
// was a handle. The open ones are also listed in `owned`.
std::vector<HANDLE> make_set(const std::string& tokens, std::vector<HANDLE>& owned) {
  std::istringstream in(tokens);
  std::vector<HANDLE> set;
  for (std::string t; in >> t;) {
    HANDLE h = reinterpret_cast<HANDLE>(0x7777);  // 'i'
    if (t[0] == 'a' || t[0] == 'm') h = krCore::detail::create_event(t[0] == 'm', t[1] == '1', L"");
    if (t[0] == 's') h = krCore::detail::create_semaphore(t[1] - '0', 9, L"");
    if (t[0] == 'x') h = krCore::detail::create_mutex(false, L"");
    if (t[0] == 'c') CloseHandle(h = krCore::detail::create_event(true, true, L""));
    set.push_back(h);
    if (t[0] != 'c' && t[0] != 'i') owned.push_back(h);
  }
  return set;
}

TEST(Waits, LowestReadyIndexWinsAndOneObjectIsConsumed) {
  const struct {
    const char* set;
    std::vector<DWORD> results;  // of successive zero-time waits
  } cases[] = {
      {"a0 m1 s2", {1, 1, 1}},                 // a manual-reset event is not consumed
      {"a1 s2 m0", {0, 1, 1, kWaitTimedOut}},  // the event, then the units one by one
      {"s0 a0 m0", {kWaitTimedOut}},
      {"s0 x a1", {1, 1}},  // a free mutex is taken, and taken again by its owner
      // One bad handle fails the whole wait and consumes nothing.
      {"a1 i", {kWaitFailed, kWaitFailed}},
      {"s1 c", {kWaitFailed, kWaitFailed}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    std::vector<HANDLE> owned;
    std::vector<HANDLE> set = make_set(c.set, owned);
    for (DWORD expected : c.results) {
      SetLastError(0);
      EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(set.size()), set.data(), 0, 0), expected);
      EXPECT_EQ(GetLastError(), expected == kWaitFailed ? 6u : 0u);
    }
    for (HANDLE h : owned) {
      while (krCore::detail::release_mutex(h)) {
      }
      EXPECT_TRUE(CloseHandle(h));
    }
  }
}

TEST(Waits, BadCountsAndWaitAllAreRefused) {
  HANDLE e = krCore::detail::create_event(true, true, L"");
  HANDLE many[65];
  for (HANDLE& h : many) h = e;
  EXPECT_EQ(WaitForMultipleObjects(65, many, 0, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(WaitForMultipleObjects(0, many, 0, 0), kWaitFailed);
  EXPECT_EQ(WaitForMultipleObjects(64, many, 0, 0), 0u);
  EXPECT_EQ(WaitForMultipleObjects(2, many, 1, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_FALSE(CloseHandle(e));  // a second close is refused, not a crash
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(WaitForSingleObject(e, 0), kWaitFailed);
}

TEST(Waits, TimeOutIsReportedAfterTheLimit) {
  krCore::manualresetevent e;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 30), kWaitTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Waits, ClosingAnotherHandleDuringTheWaitIsSafe) {
  HANDLE h = krCore::detail::create_event(false, false, L"");
  HANDLE dup = krCore::detail::duplicate_handle(h);
  DWORD result = 0;
  std::thread waiter([&] { result = WaitForSingleObject(h, INFINITE); });
  synctest::await_waiters(dup, 1);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(krCore::detail::set_event(dup));
  waiter.join();
  EXPECT_EQ(result, 0u);
  EXPECT_TRUE(CloseHandle(dup));
}

TEST(Semaphore, ReleasePastTheMaximumFails) {
  krCore::semaphore s(2, 1, L"");
  EXPECT_TRUE(s.release(1));
  EXPECT_FALSE(s.release(1));
  EXPECT_EQ(GetLastError(), 298u);
  EXPECT_EQ(WaitForSingleObject(s, 0), 0u);
  EXPECT_EQ(WaitForSingleObject(s, 0), 0u);
  EXPECT_EQ(WaitForSingleObject(s, 0), kWaitTimedOut);
  EXPECT_FALSE(s.release(3));
  EXPECT_THROW(krCore::semaphore(1, 2, L""), krCore::semaphore_exception);
}

// Unnamed and named mutexes alike.
TEST(Mutex, InitialOwnerRecursionAndNonOwnerRelease) {
  for (const std::wstring& name : {std::wstring(), synctest::unique_name("recursion")}) {
  SCOPED_TRACE(name.empty() ? "unnamed" : "named");
  krCore::mutex m(name);  // initial ownership
  EXPECT_TRUE(m.own());
  EXPECT_TRUE(m.aquire(0));  // recursion
  std::thread([&] {
    EXPECT_FALSE(m.aquire(0));
    EXPECT_EQ(m.release(), 288u);
  }).join();
  EXPECT_EQ(m.release(), 0u);
  EXPECT_EQ(m.release(), 0u);
  EXPECT_EQ(m.release(), 288u);  // no longer owned

  // A release wakes a blocked waiter, which then owns it.
  EXPECT_TRUE(m.aquire(0));
  bool got = false;
  std::thread waiter([&] {
    got = m.aquire(-1);
    EXPECT_EQ(m.release(), 0u);
  });
  synctest::await_waiters(m, 1);
  EXPECT_EQ(m.release(), 0u);
  waiter.join();
  EXPECT_TRUE(got);
  }
}

TEST(Mutex, AbandonedByThreadExitForBlockedAndLateWaiter) {
  for (const std::wstring& name : {std::wstring(), synctest::unique_name("thread-end")}) {
  SCOPED_TRACE(name.empty() ? "unnamed" : "named");
  krCore::mutex m(false, name);
  krCore::manualresetevent owned, go;
  std::thread owner([&] {
    m.aquire(0);
    owned.signal();
    WaitForSingleObject(go, INFINITE);
  });  // ends without releasing
  WaitForSingleObject(owned, INFINITE);
  DWORD blocked = 0;
  std::thread waiter([&] {
    blocked = WaitForSingleObject(m, INFINITE);
    krCore::detail::release_mutex(m);
  });
  synctest::await_waiters(m, 1);
  go.signal();
  owner.join();
  waiter.join();
  EXPECT_EQ(blocked, kWaitAbandoned0);

  // Late: the owner is gone before anyone waits. A joined thread may still
  // be listed for a moment after join returns, so the take may wait for the
  // kernel to see it gone.
  std::thread([&] { m.aquire(0); }).join();
  try {
    m.aquire(30000);
    ADD_FAILURE() << "no abandonment reported";
  } catch (const krCore::mutexException& e) {
    EXPECT_STREQ(e.what(), "Mutex abandoned");
  }
  EXPECT_EQ(m.release(), 0u);  // the caller owned it
  }
}

TEST(Events, PulseReleasesAWaiterAndLeavesTheEventReset) {
  krCore::autoresetevent e;
  e.pulse();  // nobody waits: nothing happens
  EXPECT_EQ(WaitForSingleObject(e, 0), kWaitTimedOut);
  DWORD result = 1;
  std::thread waiter([&] { result = WaitForSingleObject(e, INFINITE); });
  synctest::await_waiters(e, 1);
  e.pulse();
  waiter.join();
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(WaitForSingleObject(e, 0), kWaitTimedOut);
}

// A waiter that is just timing out when the pulse comes must not leave the
// event signalled behind it. The pulses fall from the waiter's start to
// past its one-millisecond time-out.
TEST(Events, PulseRacingATimeOutLeavesTheEventReset) {
  krCore::autoresetevent e;
  int left_signalled = 0;
  for (int round = 0; round < 2000; ++round) {
    std::atomic<bool> done{false};
    std::thread waiter([&] {
      WaitForSingleObject(e, 1);
      done = true;
    });
    while (krCore::detail::waiter_count(e) == 0 && !done) std::this_thread::yield();
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(round % 40 * 50);
    while (std::chrono::steady_clock::now() < until) {
    }
    e.pulse();
    waiter.join();
    left_signalled += WaitForSingleObject(e, 0) == 0;
  }
  EXPECT_EQ(left_signalled, 0);
}

TEST(Events, ManualResetWakesEveryWaiterAutoResetOne) {
  krCore::manualresetevent m;
  krCore::autoresetevent a;
  std::atomic<int> woken{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; ++i)
    ts.emplace_back([&] {
      if (WaitForSingleObject(m, INFINITE) == 0) ++woken;
    });
  synctest::await_waiters(m, 3);
  m.signal();
  for (auto& t : ts) t.join();
  EXPECT_EQ(woken.load(), 3);
  m.reset();
  EXPECT_EQ(WaitForSingleObject(m, 0), kWaitTimedOut);

  a.signal();
  a.signal();  // signals do not accumulate
  EXPECT_EQ(WaitForSingleObject(a, 0), 0u);
  EXPECT_EQ(WaitForSingleObject(a, 0), kWaitTimedOut);
}

TEST(ThreadHandles, SignalledWhenTheThreadEnds) {
  krCore::manualresetevent go, have;
  HANDLE h = nullptr;
  std::thread t([&] {
    h = krCore::detail::current_thread_handle();
    have.signal();
    WaitForSingleObject(go, INFINITE);
  });
  WaitForSingleObject(have, INFINITE);
  EXPECT_EQ(WaitForSingleObject(h, 0), kWaitTimedOut);
  DWORD woken = 1;
  std::thread waiter([&] { woken = WaitForSingleObject(h, INFINITE); });
  synctest::await_waiters(h, 1);
  go.signal();
  waiter.join();
  t.join();
  EXPECT_EQ(woken, 0u);
  EXPECT_EQ(WaitForSingleObject(h, 0), 0u);  // stays signalled
  EXPECT_TRUE(CloseHandle(h));
}

TEST(ThreadHandles, RecordMadeBeforeTheThreadRuns) {
  krCore::detail::thread_record* r = nullptr;
  HANDLE h = krCore::detail::thread_record_create(&r);
  EXPECT_EQ(WaitForSingleObject(h, 0), kWaitTimedOut);
  std::thread([r] { krCore::detail::thread_record_enter(r); }).join();
  EXPECT_EQ(WaitForSingleObject(h, 0), 0u);
  EXPECT_TRUE(CloseHandle(h));

  HANDLE never = krCore::detail::thread_record_create(&r);
  krCore::detail::thread_record_abandon(r);  // the thread could not start
  EXPECT_EQ(WaitForSingleObject(never, 0), 0u);
  EXPECT_TRUE(CloseHandle(never));
}

}  // namespace
