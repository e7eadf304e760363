// The worker thread's own forced end on Windows, seen as an outside program
// sees it (this program links qmcore.dll): a thread that does not stop in
// time is ended by StopAndTerminate. Stuck in its hook's own code it is
// ended where it is; inside one of the library's locks it is not ended
// there but ends itself as it lets go, so the lock is free afterwards and
// the hook runs nothing after it. Kept in the system's code, it is reported
// as not ended, ends as it returns from its hook, and the object is not
// destroyed under it.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/logging.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "threading/forced_end_steps.h"
#include "threading/probe_thread.h"
#include "threading/windows/blocking_pipe.h"
#include "threading/windows/scratch_log.h"

using threadtest::blocking_pipe;
using threadtest::kStepMs;
using threadtest::probe_thread;
using threadtest::returns;
using threadtest::signalled;

namespace {

// Each test logs into a scratch folder, and sees every line through the
// logger's callback.
class EasyThreadForcedEnd : public threadtest::scratch_log_test {};

// Warnings and errors only: a thread returning from its hook then passes no
// lock of the logger's, where a mark would end it anyway.
class EasyThreadNotEnded : public EasyThreadForcedEnd {
 protected:
  EasyThreadNotEnded() { level = krCore::logger::log_warning | krCore::logger::log_error; }
};

// A worker whose only hook reads from `pipe`, and touches nothing of its
// object after the read: the destruction test frees the object under it
// when the destructor fails to wait.
class reading_thread : public krCore::EasyThreadImpl {
 public:
  reading_thread(const blocking_pipe* pipe, krCore::manualresetevent* in_hook)
      : _pipe(pipe), _inHook(in_hook) {}

 protected:
  void OnWakeup(unsigned long, unsigned long long) override {
    const blocking_pipe* pipe = _pipe;
    _inHook->signal();
    pipe->read();
  }

 private:
  const blocking_pipe* _pipe;
  krCore::manualresetevent* _inHook;
};

}  // namespace

TEST_F(EasyThreadForcedEnd, AThreadStuckInItsOwnCodeIsEnded) {
  std::atomic<bool> spin{true};  // never cleared: the thread must be ended in the loop
  probe_thread t;
  threadtest::get_stuck(t, [&spin] {
    while (spin.load(std::memory_order_relaxed)) {
    }
  });
  threadtest::expect_forced_end(t);
}

// The hook takes a library lock and keeps it until the forced end has been
// asked for (the terminator says so in the log), then lets go of it.
TEST_F(EasyThreadForcedEnd, AThreadInsideALibraryLockEndsAsItLetsGoAndLeavesTheLockFree) {
  // Outlive a failed check: a thread left running may still use them.
  auto* marked = new krCore::manualresetevent;
  on_line = [marked](const std::wstring& line) {
    if (line.find(L"holds a lock; it ends when it lets go") != std::wstring::npos) marked->signal();
  };
  auto* lock = new krCore::critical_section;
  auto* ran_on = new std::atomic<bool>(false);
  auto* t = new probe_thread;
  threadtest::get_stuck(*t, [lock, ran_on, marked] {
    {
      krCore::auto_lock held(*lock);
      ::WaitForSingleObject(*marked, INFINITE);
    }
    ran_on->store(true);  // must not be reached: the thread ends as it lets go
  });
  std::pair<unsigned long, unsigned long> result{~0ul, ~0ul};
  ASSERT_TRUE(returns([t, &result] { result = t->StopAndTerminate(20); }))
      << "StopAndTerminate hung";
  EXPECT_EQ(result, std::make_pair(258ul, 0ul));
  EXPECT_TRUE(signalled(*marked, 0)) << "the thread was not held off inside the lock";
  EXPECT_EQ(::WaitForSingleObject(t->GetHandle(), 0), 0u) << "the thread is still running";
  EXPECT_FALSE(ran_on->load()) << "the thread ran on after its forced end";
  ASSERT_TRUE(returns([lock] { krCore::auto_lock again(*lock); }))
      << "the ended thread left the library's lock held";
  on_line = nullptr;
  delete t;
  delete ran_on;
  delete lock;
  delete marked;
}

// A thread that spends its time inside the system's heap code, holding the
// heap's lock, is never ended there: ended inside, it would leave the lock
// held and the next allocation anywhere would wait forever. It is mostly
// reported as not ended; caught between two calls, in its own code, it may
// be ended there. Either way the heap stays usable, and the thread runs no
// hook after its forced end.
TEST_F(EasyThreadNotEnded, AThreadInsideTheSystemsHeapIsNotEndedThere) {
  const HANDLE heap = ::GetProcessHeap();
  // Many blocks make each validation (under the heap's lock) long.
  std::vector<void*> blocks;
  for (int i = 0; i < 4000; ++i) blocks.push_back(::HeapAlloc(heap, 0, 16 + i % 64));
  auto* busy = new std::atomic<bool>(true);  // outlives a failed check
  auto* t = new probe_thread;
  threadtest::get_stuck(*t, [heap, busy] {
    while (busy->load(std::memory_order_relaxed)) ::HeapValidate(heap, 0, nullptr);
  });
  // The terminator keeps looking for a safe point for some seconds.
  std::pair<unsigned long, unsigned long> result{~0ul, ~0ul};
  ASSERT_TRUE(returns([t, &result] { result = t->StopAndTerminate(20); }, 3 * kStepMs))
      << "StopAndTerminate hung";
  EXPECT_EQ(result.first, 258u);
  EXPECT_TRUE(result.second == 0 || result.second == 1460) << result.second;
  ASSERT_TRUE(returns([heap] { ::HeapFree(heap, 0, ::HeapAlloc(heap, 0, 4096)); }))
      << "the thread was ended inside the heap and left its lock held";
  // Let go of the system's code, the thread ends (it was asked to).
  busy->store(false);
  EXPECT_TRUE(signalled(t->GetHandle()));
  EXPECT_EQ(::WaitForSingleObject(t->stopped, 0), 258u) << "OnStop ran after the forced end";
  for (void* block : blocks) ::HeapFree(heap, 0, block);
  delete t;
  delete busy;
}

// Reported as not ended, the thread is left marked: it ends as soon as its
// hook returns, before OnStop or another hook.
TEST_F(EasyThreadNotEnded, AThreadReportedNotEndedEndsAsItsHookReturns) {
  auto* pipe = new blocking_pipe;  // both outlive a failed check
  ASSERT_TRUE(pipe->valid());
  auto* t = new probe_thread;
  threadtest::get_stuck(*t, [pipe] { pipe->read(); });
  std::pair<unsigned long, unsigned long> result{~0ul, ~0ul};
  ASSERT_TRUE(returns([t, &result] { result = t->StopAndTerminate(20); }, 3 * kStepMs))
      << "StopAndTerminate hung";
  EXPECT_EQ(result, std::make_pair(258ul, 1460ul));
  EXPECT_TRUE(t->IsRunning());
  pipe->write();
  ASSERT_TRUE(signalled(t->GetHandle())) << "the marked thread did not end";
  EXPECT_EQ(::WaitForSingleObject(t->stopped, 0), 258u) << "OnStop ran after the forced end";
  delete t;
  delete pipe;
}

// Destroying the object after its thread was reported as not ended waits
// for that thread (it says so in the log) instead of freeing the object
// under it; the thread ends as its hook returns.
TEST_F(EasyThreadNotEnded, DestroyingTheObjectWaitsForAThreadReportedNotEnded) {
  auto* waiting = new krCore::manualresetevent;  // all of these outlive a failed check
  on_line = [waiting](const std::wstring& line) {
    if (line.find(L"could not be ended; waiting") != std::wstring::npos) waiting->signal();
  };
  auto* pipe = new blocking_pipe;
  ASSERT_TRUE(pipe->valid());
  auto* in_hook = new krCore::manualresetevent;
  auto* t = new reading_thread(pipe, in_hook);
  ASSERT_EQ(t->StartThread(), 1);
  t->Wakeup();
  ASSERT_TRUE(signalled(*in_hook));
  HANDLE thread = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), t->GetHandle(), ::GetCurrentProcess(),
                                &thread, 0, FALSE, DUPLICATE_SAME_ACCESS));
  auto destroyed = std::make_shared<krCore::manualresetevent>();
  std::thread([t, destroyed] {
    delete t;  // a 30 s stop, then the forced end's own bound
    destroyed->signal();
  }).detach();
  HANDLE first[2] = {*waiting, *destroyed};
  ASSERT_EQ(::WaitForMultipleObjects(2, first, FALSE, 8 * kStepMs), WAIT_OBJECT_0)
      << "the object was destroyed while its thread still ran, or the destructor hung";
  EXPECT_EQ(::WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  pipe->write();
  ASSERT_TRUE(signalled(*destroyed)) << "the destructor did not return once the thread ended";
  EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  on_line = nullptr;
  ::CloseHandle(thread);
  delete in_hook;
  delete pipe;
  delete waiting;
}

// Ended at whatever point of its life a stop that does not wait finds it,
// it ends each time, and the process stays sound: the logger and the heap
// work after.
TEST_F(EasyThreadForcedEnd, AThreadEndedAtAnyPointOfItsLifeEnds) {
  probe_thread t;
  ASSERT_NO_FATAL_FAILURE(threadtest::end_at_every_point_of_its_life(t));
  ASSERT_TRUE(returns([this] {
    log->log(krCore::logger::log_normal, L"a line after the forced ends", false);
    log->flush();
    delete[] new char[4096];
  })) << "a forced end left a lock of the logger or the heap held";
}
