// Shutting down a pool whose thread is stuck in a work item: the thread is
// ended by force, shutdown reports it, and the pool starts again. Threads
// ended by force never run their exit code, which a leak checker reports, so
// this program runs outside the sanitizer pass.
#include <gtest/gtest.h>

#include <atomic>

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
