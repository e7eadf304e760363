// Named objects shared between processes: an exec'd helper process opens
// the same names, a SIGKILLed helper abandons a mutex or leaves a segment
// behind, sixteen helpers race to create one name, and /dev/shm holds
// nothing of this test once its objects are closed.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <krcore/foundation.h>

#include <chrono>
#include <thread>

#include "sync_test_support.h"
#include "foundation/waitable.h"

namespace {

using synctest::narrow;
using synctest::unique_name;

constexpr DWORD kLong = 30000;  // generous bound for a loaded machine

class Named : public ::testing::Test {
 protected:
  // Segments named after this process's id that exist before the test has
  // made anything were left by an earlier process with the same id (ids are
  // reused; a killed run leaves its segments): remove them, or the check
  // below would blame this test.
  void SetUp() override {
    for (const std::string& stale : synctest::leftover_segments()) ::shm_unlink(("/" + stale).c_str());
  }
  void TearDown() override { EXPECT_EQ(synctest::leftover_segments(), std::vector<std::string>()); }
};

TEST_F(Named, SameNameIsTheSameObjectInThisAndAnExecdProcess) {
  const std::wstring name = unique_name("shared");
  krCore::autoresetevent a(name);
  EXPECT_EQ(GetLastError(), 0u);
  {
    krCore::autoresetevent b(true, name);  // exists: the initial state is not applied
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_EQ(WaitForSingleObject(a, 0), 258u);
    b.signal();
    EXPECT_EQ(WaitForSingleObject(a, 0), 0u);
  }
  const pid_t child = synctest::spawn_helper({"signal-event", narrow(name)});
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitForSingleObject(a, kLong), 0u);
  EXPECT_EQ(synctest::wait_helper(child), 0);  // the helper found it existing

  krCore::autoresetevent unnamed1, unnamed2;  // empty names stay private
  unnamed1.signal();
  EXPECT_EQ(WaitForSingleObject(unnamed2, 0), 258u);
}

TEST_F(Named, ANameOfAnotherKindFails) {
  const std::wstring name = unique_name("kind");
  krCore::manualresetevent e(name);
  EXPECT_THROW(krCore::mutex(false, name), krCore::mutexException);
  EXPECT_THROW(krCore::semaphore(1, 0, name), krCore::semaphore_exception);
  EXPECT_EQ(krCore::detail::create_semaphore(0, 1, name), nullptr);
  EXPECT_EQ(GetLastError(), 6u);
  try {
    krCore::autoresetevent wrong(name);  // auto- and manual-reset differ too
    ADD_FAILURE();
  } catch (const krCore::eventexception& ex) {
    EXPECT_EQ(ex.what(), narrow(name));
  }
}

TEST_F(Named, MutexAbandonedByAKilledProcess) {
  const std::wstring name = unique_name("abandon");
  const std::wstring ready_name = unique_name("ready");
  for (bool blocked : {true, false}) {
    SCOPED_TRACE(blocked ? "blocked waiter" : "late waiter");
    krCore::manualresetevent ready(ready_name);
    const pid_t child = synctest::spawn_helper({"hold-mutex", narrow(name), narrow(ready_name)});
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), 0u);
    krCore::mutex m(false, name);
    EXPECT_FALSE(m.own());
    EXPECT_FALSE(m.aquire(0));
    DWORD result = 0;
    std::thread waiter;
    if (blocked) {
      waiter = std::thread([&] {
        result = WaitForSingleObject(m, kLong);
        if (result == krCore::detail::kWaitAbandoned0) m.release();
      });
      synctest::await_waiters(m, 1);
    }
    synctest::kill_helper(child);
    if (blocked) {
      waiter.join();
    } else {
      result = WaitForSingleObject(m, kLong);
      if (result == krCore::detail::kWaitAbandoned0) {
        EXPECT_EQ(m.release(), 0u);
      }
    }
    EXPECT_EQ(result, krCore::detail::kWaitAbandoned0);
    EXPECT_TRUE(m.aquire(0));  // reported once; a normal mutex afterwards
    EXPECT_EQ(m.release(), 0u);
  }
}

TEST_F(Named, SegmentLeftByAKilledProcessIsStartedAfresh) {
  const std::wstring name = unique_name("stale");
  const std::wstring ready_name = unique_name("stale-ready");
  {
    krCore::manualresetevent ready(ready_name);
    const pid_t child = synctest::spawn_helper({"leave-event", narrow(name), narrow(ready_name)});
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), 0u);
    synctest::kill_helper(child);
  }
  EXPECT_EQ(synctest::leftover_segments().size(), 1u);  // the dead helper's event
  {
    krCore::manualresetevent e(false, name);
    EXPECT_EQ(GetLastError(), 0u);  // created, not opened
    EXPECT_EQ(WaitForSingleObject(e, 0), 258u);  // the stale signalled state is gone
  }
}

TEST_F(Named, SixteenProcessesRaceToCreateOneName) {
  const std::wstring name = unique_name("race");
  const std::wstring start_name = unique_name("race-start");
  const std::wstring count_name = unique_name("race-count");
  const std::wstring done_name = unique_name("race-done");
  krCore::manualresetevent start(start_name), done(done_name);
  krCore::semaphore count(64, 0, count_name);
  std::vector<pid_t> children;
  for (int i = 0; i < 16; ++i) {
    children.push_back(synctest::spawn_helper(
        {"race", narrow(name), narrow(start_name), narrow(count_name), narrow(done_name)}));
    ASSERT_GT(children.back(), 0);
  }
  start.signal();
  for (int i = 0; i < 16; ++i) ASSERT_EQ(WaitForSingleObject(count, kLong), 0u);
  done.signal();
  int created = 0, existed = 0;
  for (pid_t c : children) {
    const int code = synctest::wait_helper(c);
    created += code == 0;
    existed += code == 183;
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(existed, 15);
}

}  // namespace
