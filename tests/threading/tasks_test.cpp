// submit and run_every: a callable's result and exception reach the
// submitter through the future, and a periodic command keeps running until
// cancelled and then stops.
#include <gtest/gtest.h>
#include <krcore/threading.h>

#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <stdexcept>

namespace {

using namespace krCore;

TEST(Tasks, SubmitCarriesTheResultAndTheException) {
  threadpool pool(2, 16);
  ASSERT_EQ(pool.start(), 2);
  std::future<int> answer = submit(pool, [] { return 6 * 7; });
  std::future<void> thrown = submit(pool, [] { throw std::out_of_range("out"); });
  EXPECT_EQ(answer.get(), 42);
  EXPECT_THROW(thrown.get(), std::out_of_range);

}

TEST(Tasks, RunEveryRunsUntilCancelled) {
  CommandSchedulerFixed scheduler;
  scheduler.Start();
  std::atomic<long> runs{0};
  std::promise<void> three;
  auto command = run_every(scheduler, 0.005, [&] {
    if (++runs == 3) three.set_value();
  });
  ASSERT_EQ(three.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  command->cancel();
  const long at_cancel = command->runs();
  // A command scheduled after the cancel and later than the period: once
  // it ran, a periodic run that was still due would have run too.
  std::promise<void> later;
  struct marker : threadwork {
    std::promise<void>& done;
    explicit marker(std::promise<void>& d) : done(d) {}
    void Execute() override { done.set_value(); }
  };
  scheduler.AddDelay(0.05, std::make_shared<marker>(later));
  ASSERT_EQ(later.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(command->runs(), at_cancel);
  EXPECT_GE(at_cancel, 3);

  // Cancelled while its first run waits: that run never comes.
  auto waiting = run_every(scheduler, 0.02, [&] { ++runs; });
  waiting->cancel();
  std::promise<void> after;
  scheduler.AddDelay(0.1, std::make_shared<marker>(after));
  ASSERT_EQ(after.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(waiting->runs(), 0);
  scheduler.Shutdown(10000);
}

// A period of 0 (or below) would run the command back to back and hold a
// pool thread for ever; it is refused, as are periods no clock reaches and
// a command with nothing to run, and nothing is scheduled for them.
TEST(Tasks, RunEveryRefusesAPeriodItCannotKeepAndAnEmptyCallable) {
  CommandSchedulerFixed scheduler;
  scheduler.Start();
  std::atomic<long> runs{0};
  for (const double period : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()}) {
    try {
      run_every(scheduler, period, [&] { ++runs; });
      ADD_FAILURE() << "period " << period << " was taken";
    } catch (const w32_exception& e) {
      EXPECT_EQ(e.error_code(), 87ul) << period;
    }
  }
  try {
    run_every(scheduler, 1.0, std::function<void()>());
    ADD_FAILURE() << "an empty callable was taken";
  } catch (const w32_exception& e) {
    EXPECT_EQ(e.error_code(), 87ul);
  }
  scheduler.Shutdown(10000);
  EXPECT_EQ(runs, 0);
}

}  // namespace
