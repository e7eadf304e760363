// Ending worker threads by force: a thread stuck in a CPU loop, in a library
// wait, in a blocking system call, or with the ending signal blocked; the
// mutexes a thread held when it was ended; reusing ended threads' stacks.
// These threads are ended without running their exit code, which a leak
// checker reports, so this program runs outside the sanitizer pass. It
// links the shared library: a thread is ended only while it runs outside
// the library and the runtimes, so the test's own code must lie outside the
// library's module.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

#include "logging/log_capture.h"
#include "forced_end_steps.h"
#include "probe_thread.h"

using threadtest::expect_forced_end;
using threadtest::get_stuck;
using threadtest::kStepMs;
using threadtest::probe_thread;
using threadtest::signalled;
typedef std::pair<unsigned long, unsigned long> pair_t;

namespace {

std::atomic<bool> g_spin{true};

}  // namespace

TEST(ForcedEnd, EndsAThreadInACpuLoopAndTheObjectStartsAgain) {
  probe_thread t;
  get_stuck(t, [] {
    while (g_spin.load(std::memory_order_relaxed)) {
    }
  });
  const unsigned long id = t.ThreadID();
  expect_forced_end(t);
  EXPECT_EQ(t.ThreadID(), id);  // kept until the next start

  t.on_wakeup = nullptr;
  ASSERT_EQ(t.StartThread(), 1);
  EXPECT_NE(t.ThreadID(), id);
  t.Wakeup();
  EXPECT_TRUE(signalled(t.woke));
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
}

TEST(ForcedEnd, EndsAThreadInALibraryWaitAndGivesBackWhatTheWaitHeld) {
  krCore::autoresetevent never;
  probe_thread t;
  get_stuck(t, [&never] { ::WaitForSingleObject(never, INFINITE); });
  expect_forced_end(t);
  // The event is still usable by others, and closing it frees it.
  never.signal();
  EXPECT_TRUE(signalled(never));
}

TEST(ForcedEnd, EndsAThreadInABlockingSystemCall) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  probe_thread t;
  get_stuck(t, [fd = fds[0]] {
    char c;
    while (::read(fd, &c, 1) < 0) {
    }
  });
  expect_forced_end(t);
  ::close(fds[0]);
  ::close(fds[1]);
}

// Ended at whatever point of its life a stop that does not wait finds it,
// also past its body on its way out, it ends each time.
TEST(ForcedEnd, AThreadEndedAtAnyPointOfItsLifeEnds) {
  probe_thread t;
  threadtest::end_at_every_point_of_its_life(t);
}

TEST(ForcedEnd, AThreadThatBlocksTheSignalIsReportedAndKeepsRunning) {
  krCore::manualresetevent release;
  probe_thread t;
  get_stuck(t, [&release] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    ::WaitForSingleObject(release, INFINITE);
  });
  EXPECT_EQ(t.StopAndTerminate(20), pair_t(258, 1460));
  EXPECT_TRUE(t.IsRunning());
  // It still ends normally once it leaves the hook: the stop stays requested.
  release.signal();
  EXPECT_TRUE(signalled(t.stopped));
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
}

TEST(ForcedEnd, AMutexHeldByAnEndedThreadIsAbandoned) {
  krCore::mutex m(false, L"");
  probe_thread t;
  get_stuck(t, [&m] {
    m.aquire(INFINITE);
    while (g_spin.load(std::memory_order_relaxed)) {
    }
  });
  EXPECT_EQ(t.StopAndTerminate(20), pair_t(258, 0));
  EXPECT_EQ(::WaitForSingleObject(m, 0), 0x80u);
  EXPECT_EQ(m.release(), 0u);
}

// A thread ended while it allocates must not leave an allocator lock held:
// freeing its last block and allocating elsewhere would then block forever.
TEST(ForcedEnd, AThreadEndedWhileItAllocatesLeavesTheAllocatorUsable) {
  for (int round = 0; round < 100; ++round) {
    std::atomic<void*> last{nullptr};
    probe_thread t;
    get_stuck(t, [&last] {
      // Allocates and fills blocks; most of the time goes to the filling.
      for (std::size_t size = 2048;; size = size % 16384 + 1024) {
        auto* block = static_cast<volatile unsigned char*>(std::malloc(size));
        for (std::size_t i = 0; i < size; i += 4) block[i] = static_cast<unsigned char>(i);
        std::free(last.exchange(const_cast<unsigned char*>(block)));
      }
    });
    ASSERT_EQ(t.StopAndTerminate(1), pair_t(258, 0));
    krCore::manualresetevent done;
    std::thread elsewhere([&] {
      std::free(last.exchange(nullptr));
      for (int i = 0; i < 100; ++i)
        std::free(std::malloc(std::size_t{4096} * static_cast<std::size_t>(i % 8 + 1)));
      done.signal();
    });
    const bool finished = signalled(done);
    if (!finished) {
      elsewhere.detach();
      FAIL() << "the allocator stayed locked after round " << round;
    }
    elsewhere.join();
  }
}

class ForcedEndLog : public logtest::LoggerTest {};

TEST_F(ForcedEndLog, AFailedStopAndTheForcedEndWriteTheirLines) {
  start(0, 0xF);
  probe_thread t;
  krCore::manualresetevent release;
  get_stuck(t, [&release] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    ::WaitForSingleObject(release, INFINITE);
  });
  const std::wstring id = std::to_wstring(t.ThreadID());
  EXPECT_EQ(t.StopAndTerminate(20), pair_t(258, 1460));
  release.signal();
  EXPECT_EQ(t.StopThread(kStepMs), 0u);
  const std::vector<std::wstring> expected = {
      L"EasyThreadImpl::Stop() - requesting thread [" + id + L"] to shutdown, wait [20] ms",
      L"EasyThreadImpl::StopAndTerminate() - failed to stop thread, wait code [258], terminating "
      L"thread!",
      L"EasyThreadImpl::StopAndTerminate() - failed to terminate thread, error [1460], (0x5b4) - "
      L"This operation returned because the timeout period expired.",
  };
  const auto lines = messages();
  for (const auto& line : expected)
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  const std::wstring failed =
      L"EasyThreadImpl::Stop() - failed to shutdown thread [" + id + L"] after [";
  const std::wstring tail = L"] s, wait [20] ms, error [0x102] The wait operation timed out.";
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [&](const std::wstring& l) {
                           return l.rfind(failed, 0) == 0 && l.size() > tail.size() &&
                                  l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
                         }),
            lines.end());
}

namespace {

// The base address of the calling thread's stack.
std::uintptr_t stack_base() {
  pthread_attr_t attr;
  void* base = nullptr;
  std::size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  return reinterpret_cast<std::uintptr_t>(base);
}

}  // namespace

// Closing the handle of an ended thread gives its stack back, so the next
// thread reuses it: without that, every round would map a new stack.
TEST(ForcedEnd, TheStacksOfEndedThreadsAreReused) {
  constexpr int kRounds = 12;
  std::set<std::uintptr_t> stacks;
  for (int i = 0; i < kRounds; ++i) {
    const bool force = i % 2 == 0;
    probe_thread t;
    std::atomic<std::uintptr_t> base{0};
    t.on_start = [&base] { base = stack_base(); };
    if (force) {
      get_stuck(t, [] {
        while (g_spin.load(std::memory_order_relaxed)) {
        }
      });
      ASSERT_EQ(t.StopAndTerminate(1), pair_t(258, 0));
    } else {
      ASSERT_EQ(t.StartThread(), 1);
      ASSERT_TRUE(signalled(t.started));
      ASSERT_EQ(t.StopThread(kStepMs), 0u);
    }
    stacks.insert(base.load());
  }
  EXPECT_LE(stacks.size(), 3u);
}
