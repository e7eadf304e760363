// A pool thread whose item stays in the system's code cannot be ended by
// force on Windows: shutdown reports it, later shutdowns keep reporting it
// while it runs, and the pool's destructor waits for it (saying so in the
// log) instead of freeing the pool under its item. The thread ends as the
// item returns, and the item never counts as completed.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/logging.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "threading/pool_probe.h"
#include "threading/windows/blocking_pipe.h"

using pooltest::kStepMs;
using pooltest::probe_work;
using pooltest::signalled;
using threadtest::blocking_pipe;

namespace {

template <class Pool>
class NotEndedItem : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("qmcore-not-ended-" + std::to_string(::GetCurrentProcessId()));
    log = krCore::singleton<krCore::logger>::instance();
    log->set_write_message_func([this](const wchar_t* message, krCore::logger::log_levels) {
      if (std::wstring(message).find(L"that could not be ended to return") != std::wstring::npos)
        waiting->signal();
    });
    log->initialize(0, krCore::logger::log_error, 0, 0, (folder / "pool").wstring().c_str());
  }
  void TearDown() override {
    krCore::logger::close();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::filesystem::path folder;
  krCore::logger* log = nullptr;
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
