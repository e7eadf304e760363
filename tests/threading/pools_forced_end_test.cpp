// Shutting down a pool whose thread is stuck in a work item: the thread is
// ended by force, shutdown reports it, the item runs no further (also when
// the ending interrupted its sleep), an item ended inside the library leaves
// none of its locks held, and the pool starts again. Threads
// ended by force never run their exit code, which a leak checker reports, so
// this program runs outside the sanitizer pass.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <time.h>
#include <unistd.h>
#endif

#include <krcore/logging.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "pool_probe.h"

using pooltest::kStepMs;
using pooltest::probe_work;
using pooltest::signalled;

namespace {

std::atomic<bool> g_spin{true};

template <class Pool>
class StuckItem : public ::testing::Test {};
typedef ::testing::Types<krCore::threadpool, krCore::ThreadpoolDynamic> PoolTypes;
TYPED_TEST_SUITE(StuckItem, PoolTypes);

}  // namespace

TYPED_TEST(StuckItem, IsEndedByForceAndShutdownReturnsFalse) {
  TypeParam pool(2, TypeParam::MAX_QUEUE_SIZE);
  pool.start();
  krCore::manualresetevent entered;
  auto stuck = std::make_shared<probe_work>([&entered] {
    entered.signal();
    while (g_spin.load(std::memory_order_relaxed)) {
    }
  });
  pool.submitwork(stuck);
  ASSERT_TRUE(signalled(entered));
  EXPECT_FALSE(pool.shutdown(50));
  EXPECT_FALSE(stuck->completed());

  if constexpr (std::is_same_v<TypeParam, krCore::ThreadpoolDynamic>) {
    EXPECT_EQ(pool.RunningWorksCount(), 0u);
    EXPECT_TRUE(signalled(pool.RunningWorksDone(), 0));
    EXPECT_EQ(pool.ThreadsCount(), 0u);
  }
  // The pool is whole again after a start.
  EXPECT_EQ(pool.start(), 2);
  auto after = std::make_shared<probe_work>();
  pool.submitwork(after);
  EXPECT_TRUE(after->completed(kStepMs));
  EXPECT_TRUE(pool.shutdown(kStepMs));
}

// An item ended while it sleeps: the signal that ends it interrupts the
// sleep, and the item must not see that as an early wake-up and run on. A
// sleep is a safe point, so the thread is ended, not left marked.
TYPED_TEST(StuckItem, AnItemEndedInASleepRunsNoFurtherAndNeverCompletes) {
#if defined(_WIN32)
  const std::function<void()> sleeps[] = {
      [] { ::Sleep(60000); },
      [] { ::SleepEx(60000, TRUE); },
      [] {
        krCore::manualresetevent never;
        ::WaitForSingleObject(never, 60000);
      },
  };
#else
  const std::function<void()> sleeps[] = {
      [] { ::sleep(60); },
      [] { ::poll(nullptr, 0, 60000); },
      [] {
        const timespec minute{60, 0};
        ::nanosleep(&minute, nullptr);
      },
  };
#endif
  TypeParam pool(1, TypeParam::MAX_QUEUE_SIZE);
  for (const auto& sleep : sleeps) {
    ASSERT_EQ(pool.start(), 1);
    krCore::manualresetevent entered;
    std::atomic<bool> ran_on{false};
    auto sleeper = std::make_shared<probe_work>([&] {
      entered.signal();
      sleep();
      ran_on.store(true);
    });
    pool.submitwork(sleeper);
    ASSERT_TRUE(signalled(entered));
    EXPECT_FALSE(pool.shutdown(50));
    // Ended, not merely marked: a later shutdown finds no thread running.
    EXPECT_TRUE(pool.shutdown(0));
    EXPECT_FALSE(ran_on.load());
    EXPECT_FALSE(sleeper->completed());
  }
}

namespace {

// Runs `step` on a thread of its own and tells whether it came back within
// the bound. A step that hangs keeps its (detached) thread.
bool returns(std::function<void()> step) {
  auto done = std::make_shared<krCore::manualresetevent>();
  std::thread([done, step = std::move(step)] {
    step();
    done->signal();
  }).detach();
  return signalled(*done);
}

}  // namespace

// An item that logs and submits without pause spends nearly all its time
// inside the logger's lock, the log file's I/O and the queue's locks, so the
// forced end (after the grace period, wherever the thread is) mostly meets
// it there. Nothing may stay held: the log and the queue work afterwards.
TYPED_TEST(StuckItem, AnItemEndedInsideTheLibraryLeavesNoLockHeld) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("qmcore-held-" + std::to_string(threadtest::process_id()));
  krCore::logger* log = krCore::singleton<krCore::logger>::instance();
  log->initialize(1, 3, 15, 2, (folder / "agent").wstring().c_str());
  TypeParam target(1, TypeParam::MAX_QUEUE_SIZE);
  ASSERT_EQ(target.start(), 1);
  auto noop = std::make_shared<probe_work>();
  TypeParam pool(1, TypeParam::MAX_QUEUE_SIZE);
  for (int round = 0; round < 6; ++round) {
    ASSERT_EQ(pool.start(), 1);
    krCore::manualresetevent entered;
    pool.submitwork(std::make_shared<probe_work>([&] {
      entered.signal();
      for (;;) {
        log->log(krCore::logger::log_normal, L"a line logged without pause", false);
        // A short queue, so that its segments are reused, never allocated.
        if (target.WaitingWorkCount() < 64) target.submitwork(noop);
      }
    }));
    ASSERT_TRUE(signalled(entered));
    // The forced end logs a line itself.
    bool ended_by_force = false;
    ASSERT_TRUE(returns([&] { ended_by_force = !pool.shutdown(20); })) << "round " << round;
    EXPECT_TRUE(ended_by_force);
    // The thread has ended (a later shutdown waits for one it could not end).
    EXPECT_TRUE(pool.shutdown(kStepMs)) << "round " << round;
    ASSERT_TRUE(returns([log] {
      log->log(krCore::logger::log_normal, L"a line after the forced end", false);
      log->flush();
    })) << "round "
        << round;
    auto after = std::make_shared<probe_work>();
    ASSERT_TRUE(returns([&target, after] { target.submitwork(after); })) << "round " << round;
    EXPECT_TRUE(after->completed(kStepMs));
  }
  EXPECT_TRUE(target.shutdown(kStepMs));
  krCore::logger::close();
  std::filesystem::remove_all(folder);
}
