// The worker thread's life cycle and wait loop: start and stop rules, the
// results and counters its hooks see, stop precedence and hook exceptions.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <climits>
#include <stdexcept>
#include <thread>

#if !defined(_WIN32)
#include "logging/log_capture.h"
#endif
#include "probe_thread.h"
#include "foundation/waitable.h"

using threadtest::kStepMs;
using threadtest::probe_thread;
using threadtest::signalled;

TEST(EasyThread, StartsOnceAndAgainAfterAStop) {
  probe_thread t;
  EXPECT_FALSE(t.IsStarted());
  EXPECT_EQ(t.GetHandle(), nullptr);
  EXPECT_EQ(t.ThreadID(), 0u);

  ASSERT_EQ(t.StartThread(), 1);
  ASSERT_TRUE(signalled(t.started));
  // The id and handle were stored before the thread ran its first hook.
  EXPECT_TRUE(t.id_known_at_start);
  const unsigned long first_id = t.ThreadID();
  void* const first_handle = t.GetHandle();
  EXPECT_TRUE(t.IsStarted());
  EXPECT_TRUE(t.IsRunning());

  EXPECT_EQ(t.StartThread(), 0);  // running: left alone
  EXPECT_EQ(t.ThreadID(), first_id);
  EXPECT_EQ(t.GetHandle(), first_handle);

  EXPECT_EQ(t.StopThread(kStepMs), 0u);
  EXPECT_TRUE(signalled(t.stopped));
  EXPECT_FALSE(t.IsStarted());
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.ThreadID(), 0u);
  EXPECT_EQ(t.GetHandle(), nullptr);
  EXPECT_EQ(t.stop_call(), probe_thread::call(0, 0));

  t.started.reset();
  t.stopped.reset();
  ASSERT_EQ(t.StartThread(), 1);  // the stop event was reset: the loop runs
  ASSERT_TRUE(signalled(t.started));
  EXPECT_NE(t.ThreadID(), 0u);
  EXPECT_NE(t.ThreadID(), first_id);
  t.Wakeup();
  EXPECT_TRUE(signalled(t.woke));
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
}

TEST(EasyThread, StopOfANeverStartedObjectLeavesTheStopEventSignalled) {
  probe_thread t;
  EXPECT_EQ(t.StopThread(0), 0u);
  EXPECT_EQ(::WaitForSingleObject(t.stop_event(), 0), 0u);
  EXPECT_FALSE(t.IsStarted());
  EXPECT_EQ(t.StopAndTerminate(0), (std::pair<unsigned long, unsigned long>(0, 0)));
}

TEST(EasyThread, WakeupsAndTimeOutsReachOnWakeupWithTheCounterBeforeTheIncrement) {
  probe_thread t;
  ASSERT_EQ(t.StartThread(), 1);
  t.Wakeup();
  ASSERT_TRUE(signalled(t.woke));
  t.Wakeup();
  ASSERT_TRUE(signalled(t.woke));
  // A new time-out applies from the next wait: wake once more to reach it.
  EXPECT_EQ(t.SetDefaultWaitTimeout(1), 30000u);
  EXPECT_EQ(t.GetDefaultWaitTimeout(), 1u);
  t.Wakeup();
  ASSERT_TRUE(signalled(t.woke));
  ASSERT_TRUE(signalled(t.woke));  // the time-out
  EXPECT_EQ(t.StopThread(kStepMs), 0u);

  const auto calls = t.wakeups();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0], probe_thread::call(1, 0));
  EXPECT_EQ(calls[1], probe_thread::call(1, 1));
  EXPECT_EQ(calls[2], probe_thread::call(1, 2));
  EXPECT_EQ(calls[3], probe_thread::call(258, 3));
  EXPECT_EQ(t.stop_call(), probe_thread::call(0, calls.size()));
}

// Time-outs that do not fit 32 bits exist only where `unsigned long` is 64
// bits wide (not on Windows).
#if ULONG_MAX > 0xFFFFFFFFul
TEST(EasyThread, TimeOutsBeyond32BitsAreTheLongestWaitNotTheirLowBits) {
  constexpr unsigned long kBeyond32Bits = 1ul << 32;  // low 32 bits: 0
  probe_thread t;
  krCore::manualresetevent in_hook;
  krCore::autoresetevent never;
  t.on_wakeup = [&](unsigned long result, unsigned long long) {
    if (result != 1) return;  // only the wake-up below
    in_hook.signal();
    while (t.IsStarted()) std::this_thread::yield();
    ::WaitForSingleObject(never, 50);  // the stop is waiting by now
  };
  EXPECT_EQ(t.SetDefaultWaitTimeout(kBeyond32Bits), 30000ul);
  EXPECT_EQ(t.GetDefaultWaitTimeout(), 0xFFFFFFFEul);
  ASSERT_EQ(t.StartThread(), 1);
  ASSERT_TRUE(signalled(t.started));
  EXPECT_FALSE(signalled(t.woke, 100));  // no time-outs in a row
  t.Wakeup();
  ASSERT_TRUE(signalled(in_hook));
  // A stop given as long waits for the hook instead of giving up at once.
  EXPECT_EQ(t.StopThread(kBeyond32Bits), 0u);
}
#endif

TEST(EasyThread, StopWinsOverAWakeupSignalledWithIt) {
  probe_thread t;
  krCore::manualresetevent in_hook, release;
  t.on_wakeup = [&](unsigned long, unsigned long long) {
    in_hook.signal();
    ::WaitForSingleObject(release, INFINITE);
  };
  ASSERT_EQ(t.StartThread(), 1);
  t.Wakeup();
  ASSERT_TRUE(signalled(in_hook));
  // Both events are signalled while the loop is busy in the hook.
  t.Wakeup();
  ASSERT_TRUE(krCore::detail::set_event(t.stop_event()));
  release.signal();
  ASSERT_TRUE(signalled(t.stopped));
  EXPECT_EQ(t.stop_call(), probe_thread::call(0, 1));
  EXPECT_EQ(t.wakeups().size(), 1u);
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
}

TEST(EasyThread, ExceptionsFromHooksDoNotEndTheLoop) {
  probe_thread t;
  t.on_start = [] { throw std::runtime_error("from OnStart"); };
  t.on_wakeup = [](unsigned long, unsigned long long counter) {
    if (counter == 0) throw std::runtime_error("from OnWakeup");
    if (counter == 1) throw 42;
  };
  ASSERT_EQ(t.StartThread(), 1);
  for (int i = 0; i < 3; ++i) {
    t.Wakeup();
    ASSERT_TRUE(signalled(t.woke));
  }
  EXPECT_TRUE(t.IsRunning());
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
  const auto calls = t.wakeups();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2], probe_thread::call(1, 2));
  EXPECT_EQ(t.stop_call(), probe_thread::call(0, 3));
}

// A derived class adds a handle that makes the wait fail.
class failing_wait_thread : public probe_thread {
 protected:
  unsigned int BuildWaitArray(std::vector<void*>& handles, unsigned long long counter) override {
    const unsigned int stop = probe_thread::BuildWaitArray(handles, counter);
    handles.push_back(reinterpret_cast<void*>(0x7777));
    return stop;
  }
};

TEST(EasyThread, AFailedWaitEndsTheLoopAndTheObjectStartsAgain) {
  failing_wait_thread t;
  ASSERT_EQ(t.StartThread(), 1);
  ASSERT_TRUE(signalled(t.stopped));
  EXPECT_EQ(t.stop_call(), probe_thread::call(0xFFFFFFFF, 0));
  EXPECT_TRUE(signalled(t.GetHandle()));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_TRUE(t.IsStarted());  // it ended by itself
  t.stopped.reset();
  EXPECT_EQ(t.StartThread(), 1);
  EXPECT_TRUE(signalled(t.stopped));
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
}

TEST(EasyThread, TheDestructorStopsABaseObject) {
  auto* t = new krCore::EasyThreadImpl;
  ASSERT_EQ(t->StartThread(), 1);
  void* handle = ::krCore::detail::duplicate_handle(t->GetHandle());
  ASSERT_NE(handle, nullptr);
  delete t;
  EXPECT_EQ(::WaitForSingleObject(handle, 0), 0u);
  ::CloseHandle(handle);
}

// A hook that ends its thread unwinds through the loop's exception guards:
// they must let that unwinding pass, or the process aborts.
TEST(EasyThread, AHookMayEndTheThread) {
  probe_thread t;
  t.on_wakeup = [](unsigned long, unsigned long long) {
#if defined(_WIN32)
    ::ExitThread(0);
#else
    pthread_exit(nullptr);
#endif
  };
  ASSERT_EQ(t.StartThread(), 1);
  t.Wakeup();
  ASSERT_TRUE(signalled(t.GetHandle()));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(::WaitForSingleObject(t.stopped, 0), 258u);
  EXPECT_EQ(t.StopThread(0), 0u);
}

// The log lines are read through the logging tests' fixture, which builds on
// Linux only.
#if !defined(_WIN32)
namespace {

// A worker thread whose hooks write the base lines and then report.
class plain_thread : public krCore::EasyThreadImpl {
 public:
  krCore::autoresetevent woke;
  ~plain_thread() override { StopThread(kStepMs); }

 protected:
  void OnWakeup(unsigned long result, unsigned long long counter) override {
    EasyThreadImpl::OnWakeup(result, counter);
    woke.signal();
  }
};

bool has(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

}  // namespace

class EasyThreadLog : public logtest::LoggerTest {};

TEST_F(EasyThreadLog, TheLoopAndTheStopWriteTheirLines) {
  start(0, 0xF);
  plain_thread t;
  ASSERT_EQ(t.StartThread(), 1);
  const std::wstring id = std::to_wstring(t.ThreadID());
  t.Wakeup();
  ASSERT_TRUE(signalled(t.woke));
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
  const auto lines = messages();
  EXPECT_TRUE(has(lines, L"EasyThreadImpl::OnStart()"));
  EXPECT_TRUE(has(lines, L"EasyThreadImpl::OnWakeup() - wait result [1], counter [0]."));
  EXPECT_TRUE(has(lines, L"EasyThreadImpl::Stop() - requesting thread [" + id +
                             L"] to shutdown, wait [10000] ms"));
  EXPECT_TRUE(has(lines, L"EasyThreadImpl::Run - shutdown was signaled [0], counter [1]."));
  EXPECT_TRUE(has(lines, L"EasyThreadImpl::OnExit() - wait result [0], counter [1]."));
  EXPECT_TRUE(has(lines, L"EasyThreadImpl::Stop() - thread [" + id + L"] completed after ["));
}
#endif
