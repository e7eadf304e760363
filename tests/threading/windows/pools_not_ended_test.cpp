// A pool thread whose item stays in the system's code cannot be ended by
// force on Windows: shutdown reports it, later shutdowns keep reporting it
// while it runs, and the pool's destructor waits for it (saying so in the
// log) instead of freeing the pool under its item. The thread ends as the
// item returns, and the item never counts as completed.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "threading/pool_probe.h"
#include "threading/windows/blocking_pipe.h"
#include "threading/windows/scratch_log.h"

using pooltest::kStepMs;
using pooltest::probe_work;
using pooltest::signalled;
using threadtest::blocking_pipe;

namespace {

template <class Pool>
class NotEndedItem : public threadtest::scratch_log_test {
 protected:
  void SetUp() override {
    level = krCore::logger::log_error;
    on_line = [waiting = waiting](const std::wstring& line) {
      if (line.find(L"that could not be ended to return") != std::wstring::npos) waiting->signal();
    };
    scratch_log_test::SetUp();
  }

  // The destructor's line about the thread it waits for; outlives a failed
  // check, as a thread left running may still log.
  krCore::manualresetevent* waiting = new krCore::manualresetevent;
};
typedef ::testing::Types<krCore::threadpool, krCore::ThreadpoolDynamic> PoolTypes;
TYPED_TEST_SUITE(NotEndedItem, PoolTypes);

}  // namespace

TYPED_TEST(NotEndedItem, IsReportedUntilItEndsAndThePoolIsNotDestroyedUnderIt) {
  auto* pipe = new blocking_pipe;  // outlives a failed check
  ASSERT_TRUE(pipe->valid());
  auto* pool = new TypeParam(1, TypeParam::MAX_QUEUE_SIZE);
  ASSERT_EQ(pool->start(), 1);
  auto entered = std::make_shared<krCore::manualresetevent>();
  auto item = std::make_shared<probe_work>([entered, pipe] {
    entered->signal();
    pipe->read();
  });
  pool->submitwork(item);
  ASSERT_TRUE(signalled(*entered));
  EXPECT_FALSE(pool->shutdown(20));  // the forced end's own bound, some 10 s
  EXPECT_FALSE(pool->shutdown(0)) << "a later shutdown overlooks the thread that still runs";

  auto destroyed = std::make_shared<krCore::manualresetevent>();
  std::thread([pool, destroyed] {
    delete pool;
    destroyed->signal();
  }).detach();
  HANDLE first[2] = {*this->waiting, *destroyed};
  ASSERT_EQ(::WaitForMultipleObjects(2, first, FALSE, 4 * kStepMs), WAIT_OBJECT_0)
      << "the pool was destroyed while its item still ran, or the destructor hung";
  pipe->write();
  ASSERT_TRUE(signalled(*destroyed)) << "the destructor did not return once the thread ended";
  EXPECT_FALSE(item->completed()) << "an item ended by force counted as completed";
  delete pipe;
}
