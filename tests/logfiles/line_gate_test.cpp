// The logger's lock on its own: threads that take it in turn, many at a
// time and holding it long enough for the others to fall asleep on it.
// Each unlock wakes one sleeper, so a wake-up lost on the way would leave a
// thread asleep for good and the test would not end.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "logging/line_gate.h"

namespace {

using krCore::detail::line_gate;

TEST(LineGate, ThreadsThatSleepOnItAreAllWokenInTurnAndTheCountReturnsToZero) {
  line_gate gate;
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  long inside = 0;  // guarded by the gate
  long total = 0;   // guarded by the gate
  bool overlapped = false;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        gate.lock();
        if (++inside != 1) overlapped = true;
        ++total;
        // Now and then the holder gives up its processor, so the others
        // spin out and sleep.
        if (round % 16 == 0) std::this_thread::yield();
        --inside;
        gate.unlock();
      }
    });
  for (std::thread& thread : threads) thread.join();
  gate.lock();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(total, long{kThreads} * kRounds);
  EXPECT_FALSE(gate.others_arriving());
  EXPECT_FALSE(gate.nested());
  gate.lock();  // the owner again: a line logged from inside the logger
  EXPECT_TRUE(gate.nested());
  gate.unlock();
  EXPECT_FALSE(gate.nested());
  gate.unlock();
}

}  // namespace
