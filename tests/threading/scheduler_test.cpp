// The command scheduler: order of submission, the wake-up rule, removal and
// rescheduling, shutdown's time-out for the pool, the destructor of a
// scheduler nobody shut down, a pool thread standing in for a held-up
// scheduler thread, a stress run of concurrent callers; and the process
// services.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <krcore/sysutil.h>

#if !defined(_WIN32)
#include "logging/log_capture.h"
#endif
#include "pool_probe.h"

using krCore::CommandSchedulerDyn;
using krCore::CommandSchedulerFixed;
using krCore::CommandShell_t;
using krCore::ProcessServices;
using pooltest::kStepMs;
using pooltest::probe_work;
using pooltest::signalled;

namespace {

// How long a test watches for a wake-up that must not happen.
constexpr unsigned long kQuietMs = 150;

// A fixed-pool scheduler that reports each wake-up of its thread and shows
// its earliest moment.
class probe_scheduler : public CommandSchedulerFixed {
 public:
  explicit probe_scheduler(int threads = 1) : CommandSchedulerFixed(threads, 1000000) {}
  using CommandSchedulerFixed::GetNextExecuteMoment;
  krCore::autoresetevent woke;

 protected:
  void OnWakeup(unsigned long result, unsigned long long counter) override {
    CommandSchedulerFixed::OnWakeup(result, counter);
    woke.signal();
  }
};

// Items that append their name to a shared list when they run.
struct run_order {
  std::mutex mutex;
  std::vector<std::string> names;
  std::shared_ptr<probe_work> item(const std::string& name) {
    return std::make_shared<probe_work>([this, name] {
      std::lock_guard<std::mutex> lock(mutex);
      names.push_back(name);
    });
  }
};

}  // namespace

TEST(CommandScheduler, AddDelayZeroIsSubmittedAtOnce) {
  CommandSchedulerFixed scheduler(2, 100);
  EXPECT_EQ(scheduler.Start(), 2);
  auto item = std::make_shared<probe_work>();
  const std::wstring id = scheduler.AddDelay(0.0, item);
  EXPECT_TRUE(krCore::IsGuid(id));
  EXPECT_TRUE(item->completed(kStepMs));
  EXPECT_EQ(item->runs.load(), 1);
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
  EXPECT_FALSE(scheduler.Stopwatch().IsRunning());
}

TEST(CommandScheduler, EqualMomentsRunInInsertionOrderAndARescheduledCommandJoinsLast) {
  probe_scheduler scheduler;  // one pool thread: run order is submission order
  run_order order;
  EXPECT_EQ(scheduler.GetNextExecuteMoment(), -1.0);
  // Added before Start: AddDelay counts from 0 on the stopped stopwatch.
  const std::wstring moved = scheduler.AddDelay(0.05, order.item("moved"));
  const std::wstring a = scheduler.AddMoment(0.3, order.item("a"));
  scheduler.AddMoment(0.3, order.item("b"));
  scheduler.AddMoment(0.1, order.item("early"));
  scheduler.AddMoment(0.3, order.item("c"));
  EXPECT_EQ(scheduler.GetNextExecuteMoment(), 0.05);
  EXPECT_TRUE(scheduler.RescheduleMoment(moved, 0.3));
  EXPECT_EQ(scheduler.GetNextExecuteMoment(), 0.1);

  auto last = order.item("last");
  scheduler.AddMoment(0.6, last);
  scheduler.Start();
  ASSERT_TRUE(last->completed(kStepMs));
  EXPECT_EQ(order.names, (std::vector<std::string>{"early", "a", "b", "c", "moved", "last"}));
  EXPECT_EQ(scheduler.GetNextExecuteMoment(), -1.0);
  // Taken out and run: no longer scheduled.
  EXPECT_FALSE(scheduler.RescheduleDelay(a, 1.0));
  EXPECT_FALSE(scheduler.RescheduleMoment(moved, 1.0));
  EXPECT_FALSE(scheduler.Remove(a));
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
}

TEST(CommandScheduler, RemoveReturnsTheCommandOnceAndRescheduleKeepsTheId) {
  CommandSchedulerFixed scheduler(1, 10);
  auto item = std::make_shared<probe_work>();
  const std::wstring id = scheduler.AddMoment(100.0, item);
  EXPECT_TRUE(scheduler.RescheduleDelay(id, 50.0));
  std::shared_ptr<CommandShell_t> removed = scheduler.Remove(id);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->ID, id);
  EXPECT_EQ(removed->ExecuteMoment, 50.0);  // stopwatch not running: now is 0
  EXPECT_EQ(removed->Work, item);
  EXPECT_FALSE(scheduler.Remove(id));
  EXPECT_FALSE(scheduler.RescheduleMoment(id, 1.0));
  EXPECT_FALSE(scheduler.Remove(L"not-an-id"));
}

TEST(CommandScheduler, OnlyANewEarliestCommandWakesTheThread) {
  probe_scheduler scheduler;
  scheduler.Start();
  // The first wait of an empty scheduler is the default 30 s: anything seen
  // on `woke` now comes from the rule under test.
  scheduler.AddDelay(100.0, std::make_shared<probe_work>());  // table was empty
  EXPECT_TRUE(signalled(scheduler.woke));
  scheduler.AddDelay(200.0, std::make_shared<probe_work>());  // later: no wake-up
  EXPECT_FALSE(signalled(scheduler.woke, kQuietMs));
  scheduler.AddDelay(50.0, std::make_shared<probe_work>());  // earlier
  EXPECT_TRUE(signalled(scheduler.woke));

  // A negative moment is due at once.
  auto late = std::make_shared<probe_work>();
  scheduler.AddMoment(-5.0, late);
  EXPECT_TRUE(late->completed(kStepMs));
  EXPECT_GT(scheduler.GetNextExecuteMoment(), 49.0);
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
}

TEST(CommandScheduler, ADestroyedSchedulerThatWasNotShutDownStopsItsThread) {
  std::vector<std::shared_ptr<probe_work>> items;
  {
    CommandSchedulerDyn scheduler(1, 4, 100);
    scheduler.Start();
    for (int i = 0; i < 50; ++i) {
      items.push_back(std::make_shared<probe_work>());
      scheduler.AddDelay(i % 2 ? 0.0 : 60.0, items.back());
    }
    EXPECT_TRUE(items[1]->completed(kStepMs));
  }
  for (int i = 0; i < 50; i += 2) EXPECT_EQ(items[i]->runs.load(), 0);
}

// A fixed-pool scheduler whose thread, once `hold` is set, stops at its next
// wake-up until `release` opens: a scheduler thread held up at the worst
// moment, as a busy or stopped processor holds it up.
class held_scheduler : public CommandSchedulerFixed {
 public:
  held_scheduler(int threads, unsigned int max_queue_size)
      : CommandSchedulerFixed(threads, max_queue_size) {}
  using CommandSchedulerFixed::GetNextExecuteMoment;
  std::atomic<bool> hold{false};
  krCore::manualresetevent held;  // the thread has stopped
  krCore::manualresetevent release;

 protected:
  void OnWakeup(unsigned long result, unsigned long long counter) override {
    if (hold.exchange(false)) {
      held.signal();
      ::WaitForSingleObject(release, INFINITE);
    }
    CommandSchedulerFixed::OnWakeup(result, counter);
  }
};

TEST(CommandScheduler, APoolThreadTakesDueCommandsInOrderWhileTheThreadIsHeldUp) {
  if (pooltest::usable_processors() < 2)
    GTEST_SKIP() << "pool threads watch for work only with two processors or more";
  // One pool thread and room for one item: the pool thread queues the first
  // command and hands the others back to the scheduler's thread.
  held_scheduler scheduler(1, 1);
  scheduler.Start();
  pooltest::gate gate;
  scheduler.GetThreadpool().submitwork(std::make_shared<probe_work>(gate.pass()));
  ASSERT_TRUE(signalled(gate.entered, kStepMs));

  // While the pool thread is busy, the commands become due together and the
  // first one wakes the scheduler's thread, which stops.
  scheduler.hold = true;
  run_order order;
  auto first = order.item("first"), second = order.item("second"), third = order.item("third");
  for (const auto& item : {first, second, third}) scheduler.AddMoment(0.0, item);
  ASSERT_TRUE(signalled(scheduler.held, kStepMs));

  // Done with its item, the pool thread watches the queue and takes them.
  gate.open.signal();
  EXPECT_TRUE(first->completed(kStepMs));
  EXPECT_FALSE(second->completed(kQuietMs));

  scheduler.release.signal();
  EXPECT_TRUE(third->completed(kStepMs));
  EXPECT_EQ(order.names, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(scheduler.GetNextExecuteMoment(), -1.0);
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
}

// The log lines are read through the logging tests' fixture, which builds on
// Linux only.
#if !defined(_WIN32)
class SchedulerShutdown : public logtest::LoggerTest {
 protected:
  // The time-out the scheduler passed to its pool's shutdown.
  long pool_timeout() {
    static const std::wstring kHead = L"threadpool::shutdown() called with [";
    for (const std::wstring& m : messages())
      if (m.find(kHead) != std::wstring::npos)
        return std::stol(m.substr(m.find(kHead) + kHead.size()));
    return -1;
  }
};

TEST_F(SchedulerShutdown, ThePoolGetsWhatIsLeftOfTheTimeoutButAtLeast100Ms) {
  start(0, krCore::logger::log_verbose);
  {
    CommandSchedulerFixed scheduler(2, 10);
    scheduler.Start();
    // A long time-out, so that the scheduler thread's own stop takes only a
    // small share of it even on a loaded machine under a sanitizer.
    EXPECT_TRUE(scheduler.Shutdown(60000));
    const long given = pool_timeout();
    EXPECT_GT(given, 30000);
    EXPECT_LE(given, 60000);
  }
  entries.clear();
  {
    CommandSchedulerFixed scheduler(2, 10);
    scheduler.Start();
    // Whether the scheduler's own thread stops within 20 ms depends on the
    // machine's load; the pool's floor does not.
    (void)scheduler.Shutdown(20);
    EXPECT_EQ(pool_timeout(), 100);
  }
  const auto all = messages();
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const std::wstring& m) {
    return m.find(L"CommandSchedulerImpl::Shutdown() called with [20] ms timeout") !=
           std::wstring::npos;
  }));
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const std::wstring& m) {
    return m.find(L"CommandSchedulerImpl::Shutdown() - thread stopped with codes [") !=
           std::wstring::npos;
  }));
}

#endif

TEST(CommandScheduler, ConcurrentCallersRunEveryCommandNotRemovedExactlyOnce) {
  CommandSchedulerDyn scheduler(2, 4, 1000000);
  scheduler.Start();
  constexpr int kThreads = 4, kPerThread = 2500;
  struct record {
    std::shared_ptr<probe_work> item;
    bool removed = false;
  };
  std::vector<std::vector<record>> records(kThreads);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937 random(t);
      std::uniform_real_distribution<double> delay(0.0, 0.2);
      std::vector<std::wstring> ids;
      for (int i = 0; i < kPerThread; ++i) {
        records[t].push_back({std::make_shared<probe_work>()});
        ids.push_back(scheduler.AddDelay(delay(random), records[t].back().item));
        // Now and then act on an earlier command of this caller, which may
        // have run already.
        if (i % 3 == 0) {
          const int j = std::uniform_int_distribution<int>(0, i)(random);
          if (i % 2 == 0) {
            if (auto removed = scheduler.Remove(ids[j])) {
              EXPECT_EQ(removed->Work, records[t][j].item);
              records[t][j].removed = true;
            }
          } else {
            scheduler.RescheduleDelay(ids[j], delay(random));
          }
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  int removed = 0;
  for (auto& of_caller : records) {
    for (auto& r : of_caller) {
      if (r.removed) {
        ++removed;
        continue;
      }
      ASSERT_TRUE(r.item->completed(kStepMs));
    }
  }
  EXPECT_GT(removed, 0);
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
  for (auto& of_caller : records)
    for (auto& r : of_caller) EXPECT_EQ(r.item->runs.load(), r.removed ? 0 : 1);
}

// ---------------------------------------------------------------------------
// Process services (each test runs in a process of its own).
// ---------------------------------------------------------------------------

TEST(ProcessServices, CounterStartsAtOneAndTimeStampsTakeTheNext) {
  ProcessServices& services = *krCore::singleton<ProcessServices>::instance();
  EXPECT_TRUE(services.Stopwatch().IsRunning());
  EXPECT_EQ(services.NextCounter(), 1ul);
  const std::wstring stamp = services.TimeAsFilename();
  ASSERT_EQ(stamp.size(), 25u);  // YYYY-MM-DD_hh.mm.ss.mmm.2
  EXPECT_EQ(stamp.substr(23), L".2");
  EXPECT_EQ(services.TimeAsFilename(false).size(), 23u);

  SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 3;
  t.wDay = 5;
  t.wHour = 7;
  t.wMinute = 8;
  t.wSecond = 9;
  t.wMilliseconds = 4;
  EXPECT_EQ(services.TimeAsFilename(t, false), L"2024-03-05_07.08.09.004");
  EXPECT_EQ(services.TimeAsFilename(t, true), L"2024-03-05_07.08.09.004.3");
}

TEST(ProcessServices, MakesOneSchedulerOnly) {
  ProcessServices& services = *krCore::singleton<ProcessServices>::instance();
  krCore::ICommandScheduler& first = services.CommandScheduler();
  auto* dyn = dynamic_cast<CommandSchedulerDyn*>(&first);
  ASSERT_NE(dyn, nullptr);
  EXPECT_EQ(dyn->GetThreadpoolDynamic().GetMinThreads(), 1);
  EXPECT_EQ(dyn->GetThreadpoolDynamic().GetMaxThreads(), 32);
  EXPECT_EQ(&services.InitializeCommandScheduler(2, 8, 10), &first);
  EXPECT_EQ(&services.CommandScheduler(), &first);

  // It works like any other scheduler.
  EXPECT_EQ(first.Start(), 1);
  auto item = std::make_shared<probe_work>();
  first.AddDelay(0.0, item);
  EXPECT_TRUE(item->completed(kStepMs));
  EXPECT_TRUE(first.Shutdown(kStepMs));
}

TEST(CommandScheduler, RefusesNonFiniteTimesAndEmptyWorkAndKeepsRunningTheRest) {
  probe_scheduler scheduler;
  ASSERT_EQ(scheduler.Start(), 1);
  auto waiting_work = std::make_shared<probe_work>();
  const std::wstring waiting = scheduler.AddDelay(0.2, waiting_work);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const auto refused = [](auto call) {
    try {
      call();
    } catch (const w32_exception& e) {
      return e.code == 87u;
    }
    return false;
  };
  auto item = std::make_shared<probe_work>();
  EXPECT_TRUE(refused([&] { scheduler.AddDelay(nan, item); }));
  EXPECT_TRUE(refused([&] { scheduler.AddMoment(nan, item); }));
  EXPECT_TRUE(refused([&] { scheduler.AddDelay(inf, item); }));
  EXPECT_TRUE(refused([&] { scheduler.AddMoment(-inf, item); }));
  EXPECT_TRUE(refused([&] { scheduler.AddDelay(0.0, nullptr); }));
  EXPECT_TRUE(refused([&] { scheduler.AddMoment(0.0, std::shared_ptr<krCore::IThreadwork>()); }));
  // A refused reschedule leaves the command where it was.
  EXPECT_TRUE(refused([&] { scheduler.RescheduleMoment(waiting, nan); }));
  EXPECT_TRUE(refused([&] { scheduler.RescheduleDelay(waiting, inf); }));

  // The scheduler goes on: the waiting command and a new one both run.
  auto later = std::make_shared<probe_work>();
  scheduler.AddDelay(0.0, later);
  EXPECT_TRUE(later->completed(kStepMs));
  EXPECT_TRUE(waiting_work->completed(kStepMs));
  EXPECT_TRUE(scheduler.Shutdown(kStepMs));
  EXPECT_EQ(item->runs.load(), 0);
}
