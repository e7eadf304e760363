// The fixed and the dynamic thread pool: what both do alike (typed tests),
// what each does on its own, their log lines, and a stress run in which
// submitters race a thread that shuts the pool down and starts it again.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <climits>
#include <stdexcept>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include "logging/log_capture.h"
#endif
#include "pool_probe.h"

using krCore::threadpool;
using krCore::ThreadpoolDynamic;
using pooltest::gate;
using pooltest::kStepMs;
using pooltest::probe_work;
using pooltest::signalled;

namespace {

// How long a test watches for something that must not happen.
constexpr auto kQuietPeriod = std::chrono::milliseconds(100);

std::shared_ptr<probe_work> work(std::function<void()> body = {}) {
  return std::make_shared<probe_work>(std::move(body));
}

// Submits from its own thread; `returned` is signalled when submitwork
// returned.
struct background_submit {
  krCore::manualresetevent returned;
  std::thread thread;
  background_submit(krCore::IThreadpool& pool, std::shared_ptr<probe_work> item)
      : thread([this, &pool, item] {
          pool.submitwork(item);
          returned.signal();
        }) {}
  ~background_submit() { thread.join(); }
};

template <class Pool>
class BothPools : public ::testing::Test {};
typedef ::testing::Types<threadpool, ThreadpoolDynamic> PoolTypes;
TYPED_TEST_SUITE(BothPools, PoolTypes);

}  // namespace

TYPED_TEST(BothPools, OneThreadRunsItemsInSubmissionOrder) {
  TypeParam pool(1, TypeParam::MAX_QUEUE_SIZE);
  EXPECT_THROW(pool.submitwork(work()), krCore::threadpool_shutdown_exception);
  EXPECT_TRUE(pool.shutdown(0));  // not running
  ASSERT_EQ(pool.start(), 1);
  EXPECT_EQ(pool.start(), 1);  // running already: nothing new
  std::vector<int> order;
  std::vector<std::shared_ptr<probe_work>> items;
  // Enough items to pass through several of the queue's segments.
  constexpr int kItems = 300;
  for (int i = 0; i < kItems; ++i) items.push_back(work([&order, i] { order.push_back(i); }));
  for (auto& item : items) pool.submitwork(item);
  ASSERT_TRUE(items.back()->completed(kStepMs));
  ASSERT_EQ(order.size(), static_cast<size_t>(kItems));
  for (int i = 0; i < kItems; ++i) EXPECT_EQ(order[i], i);
  EXPECT_THROW(pool.submitwork(std::shared_ptr<krCore::IThreadwork>()), std::runtime_error);
}

TYPED_TEST(BothPools, AFullQueueBlocksTheSubmitterUntilAThreadTakesAnItem) {
  TypeParam pool(1, 1);
  gate g;
  pool.start();
  auto busy = work(g.pass()), queued = work(), third = work();
  pool.submitwork(busy);
  ASSERT_TRUE(signalled(g.entered));
  pool.submitwork(queued);
  EXPECT_EQ(pool.WaitingWorkCount(), 1u);
  background_submit submitter(pool, third);
  EXPECT_FALSE(signalled(submitter.returned, kQuietPeriod.count()));
  g.open.signal();
  EXPECT_TRUE(signalled(submitter.returned));
  EXPECT_TRUE(third->completed(kStepMs));
  EXPECT_EQ(queued->runs, 1);
}

TYPED_TEST(BothPools, CompletionIsSignalledAfterExecuteAndResetOnResubmission) {
  TypeParam pool(2, TypeParam::MAX_QUEUE_SIZE);
  pool.start();
  auto throwing = work([] { throw std::runtime_error("from a work item"); });
  pool.submitwork(throwing);
  EXPECT_TRUE(throwing->completed(kStepMs));  // an ordinary exception counts as a return

  gate g;
  auto item = work(g.pass());
  g.open.signal();
  pool.submitwork(item);
  ASSERT_TRUE(item->completed(kStepMs));
  g.open.reset();
  pool.submitwork(item);
  EXPECT_FALSE(item->completed());
  ASSERT_TRUE(signalled(g.entered));
  ASSERT_TRUE(signalled(g.entered));
  EXPECT_FALSE(item->completed());  // held at the gate
  g.open.signal();
  EXPECT_TRUE(item->completed(kStepMs));
  EXPECT_EQ(item->runs, 2);
  EXPECT_EQ(item->GetThreadpoolPtr(), &pool);
  EXPECT_EQ(&item->GetThreadpoolRef(), &pool);
}

TYPED_TEST(BothPools, AnItemBoundToOnePoolIsRefusedByAnother) {
  TypeParam first(1, TypeParam::MAX_QUEUE_SIZE), second(1, TypeParam::MAX_QUEUE_SIZE);
  first.start();
  second.start();
  auto item = work();
  EXPECT_THROW(item->GetThreadpoolRef(), w32_exception);
  first.submitwork(item);
  try {
    second.submitwork(item);
    FAIL() << "a second pool accepted the item";
  } catch (const w32_exception& e) {
    EXPECT_EQ(e.code, 1627u);
  }
  EXPECT_EQ(item->GetThreadpoolPtr(), &first);
  EXPECT_EQ(second.WaitingWorkCount(), 0u);
}

TYPED_TEST(BothPools, ShutdownDiscardsQueuedItemsAndWakesBlockedSubmitters) {
  TypeParam pool(1, 1);
  pool.start();
  krCore::manualresetevent entered;
  auto busy = work([&] {
    entered.signal();
    ::WaitForSingleObject(pool.ShutdownEvent(), INFINITE);
  });
  auto queued = work(), late = work();
  pool.submitwork(busy);
  ASSERT_TRUE(signalled(entered));
  pool.submitwork(queued);
  {
    background_submit submitter(pool, late);
    EXPECT_FALSE(signalled(submitter.returned, kQuietPeriod.count()));
    EXPECT_TRUE(pool.shutdown(kStepMs));
    EXPECT_TRUE(signalled(submitter.returned));
  }
  EXPECT_FALSE(pool.IsAlive());
  EXPECT_TRUE(busy->completed());  // the running item was finished
  EXPECT_EQ(queued->runs, 0);
  EXPECT_FALSE(queued->completed());
  EXPECT_THROW(pool.submitwork(work()), krCore::threadpool_shutdown_exception);
  // The woken submitter's item waits in the stopped pool for the next start.
  EXPECT_EQ(pool.WaitingWorkCount(), 1u);
  pool.start();
  EXPECT_TRUE(late->completed(kStepMs));
}

// Time-outs that do not fit 32 bits exist only where `unsigned long` is 64
// bits wide (not on Windows).
#if ULONG_MAX > 0xFFFFFFFFul
TYPED_TEST(BothPools, AShutdownTimeOutBeyond32BitsIsNotCutToItsLowBits) {
  TypeParam pool(1, TypeParam::MAX_QUEUE_SIZE);
  ASSERT_EQ(pool.start(), 1);
  krCore::manualresetevent entered;
  krCore::autoresetevent never;
  auto item = work([&] {
    entered.signal();
    ::WaitForSingleObject(pool.ShutdownEvent(), INFINITE);
    ::WaitForSingleObject(never, 50);  // the shutdown is waiting by now
  });
  pool.submitwork(item);
  ASSERT_TRUE(signalled(entered));
  EXPECT_TRUE(pool.shutdown(1ul << 32));  // low 32 bits: 0
  EXPECT_TRUE(item->completed());
}
#endif

TYPED_TEST(BothPools, AQueueOfNoItemsIsRefused) {
  EXPECT_THROW(TypeParam(1, 0), krCore::semaphore_exception);
}

TYPED_TEST(BothPools, AnItemThatShutsDownItsOwnPoolLetsTheOwnerFinish) {
  // Twice with the same object: a self-shutdown, a restart, a second one.
  TypeParam pool(2, TypeParam::MAX_QUEUE_SIZE);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(pool.start(), 2);
    krCore::manualresetevent returned;
    bool result = false;
    auto item = work([&] {
      result = pool.shutdown(kStepMs);
      EXPECT_TRUE(pool.shutdown(kStepMs));  // asking again changes nothing
      returned.signal();
    });
    pool.submitwork(item);
    ASSERT_TRUE(signalled(returned));
    EXPECT_TRUE(result);
    EXPECT_FALSE(pool.IsAlive());
    EXPECT_THROW(pool.submitwork(work()), krCore::threadpool_shutdown_exception);
    // The owner's call waits for the item's thread and returns.
    EXPECT_TRUE(pool.shutdown(kStepMs));
  }
}

TEST(CommandSchedulerSelfShutdown, AnItemThatShutsDownItsSchedulerLetsTheOwnerFinish) {
  krCore::CommandSchedulerDyn scheduler(1, 2, 100);
  ASSERT_GE(scheduler.Start(), 1);
  krCore::manualresetevent returned;
  scheduler.AddDelay(0.0, work([&] {
                       scheduler.Shutdown(kStepMs);
                       returned.signal();
                     }));
  ASSERT_TRUE(signalled(returned));
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
}  // the destructor returns too

// Several submitters keep the pool busy while another thread shuts it down
// and starts it again: nothing deadlocks, no item runs twice, and every item
// that ran is signalled.
TYPED_TEST(BothPools, StressShutdownAndRestartUnderLoad) {
  TypeParam pool(3, 16);
  pool.start();
  std::atomic<bool> stop{false};
  std::vector<std::vector<std::shared_ptr<probe_work>>> submitted(3);
  std::vector<std::thread> submitters;
  // The accepted items are kept for the checks below, each of which makes
  // the item's completion event, so they stay well inside the process's
  // handle table; a refused one is checked at once, and after a refusal the
  // submitter lets the pool's threads run.
  constexpr size_t kMaxPerSubmitter = 200000;
  std::atomic<size_t> refused{0};
  for (auto& mine : submitted)
    submitters.emplace_back([&pool, &stop, &mine, &refused] {
      while (!stop.load() && mine.size() < kMaxPerSubmitter) {
        auto item = work();
        try {
          pool.submitwork(item);
          mine.push_back(std::move(item));
        } catch (const krCore::threadpool_shutdown_exception&) {
          EXPECT_EQ(item->runs, 0);
          refused.fetch_add(1);
          std::this_thread::yield();
        }
      }
    });
  for (int cycle = 0; cycle < 30; ++cycle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    EXPECT_TRUE(pool.shutdown(kStepMs));
    pool.start();
  }
  stop.store(true);
  for (auto& t : submitters) t.join();
  EXPECT_TRUE(pool.shutdown(kStepMs));

  size_t ran = 0, total = 0;
  for (auto& mine : submitted)
    for (auto& item : mine) {
      ++total;
      ASSERT_LE(item->runs, 1);
      ASSERT_EQ(item->runs == 1, item->completed());
      ran += item->runs;
    }
  EXPECT_GT(ran, 0u);
  EXPECT_GT(total + refused.load(), ran);  // some were refused or discarded along the way
}

// Submitters that contend for a small queue with threads that contend for
// its front: every item runs exactly once and no submitter or thread is
// left waiting beside room or work.
TYPED_TEST(BothPools, SeveralSubmittersThroughASmallQueueRunEveryItemOnce) {
  constexpr int kSubmitters = 4, kPerSubmitter = 5000;
  TypeParam pool(2, 3);
  pool.start();
  std::atomic<int> left{kSubmitters * kPerSubmitter};
  krCore::manualresetevent all_ran;
  std::vector<std::vector<std::shared_ptr<probe_work>>> submitted(kSubmitters);
  std::vector<std::thread> submitters;
  for (auto& mine : submitted)
    submitters.emplace_back([&] {
      for (int i = 0; i < kPerSubmitter; ++i) {
        mine.push_back(work([&] {
          if (left.fetch_sub(1) == 1) all_ran.signal();
        }));
        pool.submitwork(mine.back());
      }
    });
  for (auto& t : submitters) t.join();
  ASSERT_TRUE(signalled(all_ran, 60000));
  EXPECT_TRUE(pool.shutdown(kStepMs));
  for (auto& mine : submitted)
    for (auto& item : mine) ASSERT_EQ(item->runs, 1);
}

// ---------------------------------------------------------------------------
// Per pool.
// ---------------------------------------------------------------------------

namespace {

// Counts the threads whose loop ended.
class counting_pool : public threadpool {
 public:
  using threadpool::threadpool;
  ~counting_pool() override { shutdown(kStepMs); }
  std::atomic<int> ended{0};
  krCore::autoresetevent thread_ended;

 protected:
  void thread_postexecute(int) override {
    ended.fetch_add(1);
    thread_ended.signal();
  }
};

std::atomic<int> g_wrapped{0};
unsigned int counting_wrapper(krCore::threadpool_body_t body, void* argument, void* param) {
  static_cast<std::atomic<int>*>(param)->fetch_add(1);
  return body(argument);
}

// Host wrappers that go wrong: before the body, instead of it, after it.
unsigned int throwing_wrapper(krCore::threadpool_body_t, void*, void*) {
  throw std::runtime_error("wrapper failed");
}
unsigned int bodiless_wrapper(krCore::threadpool_body_t, void*, void*) { return 0; }
unsigned int throwing_after_wrapper(krCore::threadpool_body_t body, void* argument, void*) {
  body(argument);
  throw std::runtime_error("wrapper failed at the end");
}

}  // namespace

TYPED_TEST(BothPools, AFailingWrapperEndsOnlyItsThreadWhichDoesNotCountAsRunning) {
  for (auto wrapper : {&throwing_wrapper, &bodiless_wrapper}) {
    TypeParam::SetThreadPoolWrapperFunc(wrapper, nullptr);
    TypeParam pool(2, TypeParam::MAX_QUEUE_SIZE);
    EXPECT_EQ(pool.start(), 0);
    EXPECT_TRUE(pool.shutdown(kStepMs));
  }
  TypeParam::SetThreadPoolWrapperFunc(&throwing_after_wrapper, nullptr);
  {
    TypeParam pool(2, TypeParam::MAX_QUEUE_SIZE);
    EXPECT_EQ(pool.start(), 2);
    auto item = work();
    pool.submitwork(item);
    EXPECT_TRUE(item->completed(kStepMs));
    EXPECT_TRUE(pool.shutdown(kStepMs));  // the throws at the end are analysed
  }
  TypeParam::SetThreadPoolWrapperFunc(nullptr, nullptr);
}

TEST(Threadpool, AThreadEndedByItsItem) {
  counting_pool pool(2, threadpool::MAX_QUEUE_SIZE);
  ASSERT_EQ(pool.start(), 2);
  auto ender = work([] { throw krCore::thread_shutdown_exception(); });
  pool.submitwork(ender);
  ASSERT_TRUE(signalled(pool.thread_ended));
  EXPECT_FALSE(ender->completed());
  // The other thread goes on alone.
  auto after = work();
  pool.submitwork(after);
  EXPECT_TRUE(after->completed(kStepMs));
  EXPECT_NE(after->thread_id, ender->thread_id);
  EXPECT_EQ(pool.ended, 1);
  EXPECT_TRUE(pool.shutdown(kStepMs));
  EXPECT_EQ(pool.ended, 2);
  EXPECT_EQ(pool.start(4), 4);
}

TEST(Threadpool, EachPoolClassHasItsOwnWrapperForEveryThread) {
  std::atomic<int> fixed{0}, dynamic{0};
  threadpool::SetThreadPoolWrapperFunc(&counting_wrapper, &fixed);
  ThreadpoolDynamic::SetThreadPoolWrapperFunc(&counting_wrapper, &dynamic);
  {
    threadpool a(3, 8);
    ThreadpoolDynamic b(2, 8);
    a.start();
    b.start();
    auto item = work();
    a.submitwork(item);
    EXPECT_TRUE(item->completed(kStepMs));  // the wrapper ran the body
    // A shutdown waits for every thread's end, so each has passed its wrapper.
    EXPECT_TRUE(a.shutdown(kStepMs));
    EXPECT_TRUE(b.shutdown(kStepMs));
  }
  threadpool::SetThreadPoolWrapperFunc(nullptr, nullptr);
  ThreadpoolDynamic::SetThreadPoolWrapperFunc(nullptr, nullptr);
  EXPECT_EQ(fixed, 3);
  EXPECT_EQ(dynamic, 2);
}

namespace {

// Signals each thread's end of loop, so retirement can be waited for.
class watched_dynamic : public ThreadpoolDynamic {
 public:
  using ThreadpoolDynamic::ThreadpoolDynamic;
  ~watched_dynamic() override { shutdown(kStepMs); }
  krCore::semaphore thread_ended{1000, 0, std::wstring()};

 protected:
  void thread_postexecute(threadinfo_t&) override { thread_ended.release(1); }
};

}  // namespace

TEST(ThreadpoolDynamic, ConstructorsAndSettersRefuseLimitsOutOfOrder) {
  const std::string min_text =
      "ThreadpoolDynamic::SetMinThreads() - error: minimum number of threads must be more than "
      "zero.";
  const std::string max_text =
      "ThreadpoolDynamic::SetMinThreads() - error: maximum number of threads must be greater "
      "than minimum number.";
  auto message = [](auto make) {
    try {
      make();
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message([] { ThreadpoolDynamic(0, 5, 10); }), min_text);
  EXPECT_EQ(message([] { ThreadpoolDynamic(3, 2, 10); }), max_text);
  ThreadpoolDynamic pool(2, 2, 10);
  EXPECT_EQ(message([&] { pool.SetMinThreads(0); }), min_text);
  EXPECT_EQ(message([&] { pool.SetMaxThreads(1); }), max_text);
  EXPECT_EQ(pool.GetMinThreads(), 2);
  EXPECT_EQ(pool.GetMaxThreads(), 2);
}

TEST(ThreadpoolDynamic, GrowsUpToTheMaximumUnderLoadAndRetiresToTheMinimumWhenIdle) {
  watched_dynamic pool(2, 4, 100);
  gate g;
  ASSERT_EQ(pool.start(), 2);
  EXPECT_EQ(pool.ThreadsCount(), 2u);
  std::vector<std::shared_ptr<probe_work>> items;
  for (int i = 0; i < 6; ++i) {
    items.push_back(work(g.pass()));
    pool.submitwork(items.back());
  }
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(signalled(g.entered));
  EXPECT_EQ(pool.ThreadsCount(), 4u);  // never beyond the maximum
  EXPECT_EQ(pool.AtomicThreadsCount(), 4u);
  EXPECT_EQ(pool.RunningWorksCount(), 4u);
  EXPECT_EQ(pool.WaitingWorkCount(), 2u);
  EXPECT_FALSE(signalled(pool.RunningWorksDone(), 0));

  pool.SetIdleTimeout(50);
  g.open.signal();
  for (auto& item : items) ASSERT_TRUE(item->completed(kStepMs));
  EXPECT_TRUE(signalled(pool.RunningWorksDone()));
  EXPECT_EQ(pool.RunningWorksCount(), 0u);
  // The two threads above the minimum retire once they were idle for 50 ms.
  ASSERT_TRUE(signalled(pool.thread_ended));
  ASSERT_TRUE(signalled(pool.thread_ended));
  EXPECT_FALSE(signalled(pool.thread_ended, kQuietPeriod.count()));
  EXPECT_EQ(pool.ThreadsCount(), 2u);

  // A lower minimum lets one more retire; the last one stays.
  pool.SetMinThreads(1);
  ASSERT_TRUE(signalled(pool.thread_ended));
  EXPECT_FALSE(signalled(pool.thread_ended, kQuietPeriod.count()));
  EXPECT_EQ(pool.ThreadsCount(), 1u);
  // A higher one creates threads at once.
  pool.SetMinThreads(3);
  EXPECT_EQ(pool.ThreadsCount(), 3u);
}

namespace {

// A thread that retires lingers in its end-of-loop hook; `left` is set once
// it came out of it.
class lingering_dynamic : public ThreadpoolDynamic {
 public:
  using ThreadpoolDynamic::ThreadpoolDynamic;
  ~lingering_dynamic() override { shutdown(kStepMs); }
  krCore::manualresetevent retiring;
  krCore::manualresetevent never;
  std::atomic<bool> left{false};

 protected:
  void thread_postexecute(threadinfo_t&) override {
    if (!IsAlive()) return;  // the ends that shutdown asks for
    retiring.signal();
    ::WaitForSingleObject(never, 300);
    left.store(true);
  }
};

}  // namespace

TEST(ThreadpoolDynamic, ShutdownWaitsForAThreadThatIsRetiring) {
  lingering_dynamic pool(1, 2, 100);
  gate g;
  ASSERT_EQ(pool.start(), 1);
  auto first = work(g.pass());
  auto second = work(g.pass());
  pool.submitwork(first);
  pool.submitwork(second);
  ASSERT_TRUE(signalled(g.entered));
  ASSERT_TRUE(signalled(g.entered));
  pool.SetIdleTimeout(20);
  g.open.signal();
  ASSERT_TRUE(signalled(pool.retiring));
  // The thread left the table but still runs pool code.
  EXPECT_TRUE(pool.shutdown(kStepMs));
  EXPECT_TRUE(pool.left.load());
}

TEST(ThreadpoolDynamic, AThreadEndedByItsItemLeavesTheTable) {
  watched_dynamic pool(2, 2, 100);
  pool.start();
  auto ender = work([] { throw krCore::thread_shutdown_exception(); });
  pool.submitwork(ender);
  ASSERT_TRUE(signalled(pool.thread_ended));
  EXPECT_FALSE(ender->completed());
  // The thread is gone from the table once it has ended (a step the pool
  // takes after the hook that signalled; on a loaded machine, under Wine
  // above all, that can take a while); the next submission tops the pool up
  // to its minimum again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepMs);
  while (pool.AtomicThreadsCount() != 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(pool.ThreadsCount(), 1u);
  auto after = work();
  pool.submitwork(after);
  EXPECT_TRUE(after->completed(kStepMs));
  EXPECT_EQ(pool.ThreadsCount(), 2u);
}

// ---------------------------------------------------------------------------
// Log lines.
// ---------------------------------------------------------------------------

// The log lines are read through the logging tests' fixture, which builds on
// Linux only.
#if !defined(_WIN32)
namespace {

class PoolLog : public logtest::LoggerTest {
 protected:
  bool has(const std::wstring& text) {
    for (const auto& line : messages())
      if (line.find(text) != std::wstring::npos) return true;
    return false;
  }
};

}  // namespace

TEST_F(PoolLog, ShutdownsAndThreadEndsWriteTheirLines) {
  start(0, 0xF);
  // Runs one item on `pool`, shuts it down and gives the thread's id.
  const auto run_one = [](auto&& pool) {
    pool.start();
    auto item = work();
    pool.submitwork(item);
    EXPECT_TRUE(item->completed(kStepMs));
    EXPECT_TRUE(pool.shutdown(kStepMs));
    return std::to_wstring(item->thread_id.load());
  };
  const std::wstring fixed_id = run_one(threadpool(1, 8));
  const std::wstring dynamic_id = run_one(ThreadpoolDynamic(1, 8));

  EXPECT_TRUE(has(L"threadpool::shutdown() called with [10000] ms timeout"));
  EXPECT_TRUE(has(L"threadpool::runhandler - shutdown thread ID [" + fixed_id +
                  L"], wait code [1], alive flag [0]"));
  EXPECT_TRUE(has(L"threadpool::shutdown() completed, elapsed ["));
  EXPECT_TRUE(has(L"] s, threads terminated [0]"));
  EXPECT_TRUE(has(L"ThreadpoolDynamic::shutdown() called with [10000] ms timeout, threads [1]"));
  EXPECT_TRUE(has(L"ThreadpoolDynamic::runhandler - shutdown thread ID [" + dynamic_id +
                  L"], wait code [2], alive flag [0]"));
  EXPECT_TRUE(has(L"ThreadpoolDynamic::ThreadRemove - removing thread ID [" + dynamic_id + L"]"));
  EXPECT_TRUE(has(L"ThreadpoolDynamic::ThreadsClear() - thread counters: atomic [0], pool [0]"));
  EXPECT_TRUE(has(L"ThreadpoolDynamic::shutdown() completed, elapsed ["));
}
#endif
