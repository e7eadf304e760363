// A time-boxed stress test for lost wakes. Producers post semaphore units
// while "racers" wait with 1-3 ms time-outs (so time-outs race the wakes) and
// "witnesses" wait without a time-out on a set whose lower index is a noisy
// auto-reset event (so a waiter woken for the semaphore often takes the
// event instead and must pass the wake on). Once the producers and racers
// stop, the witnesses alone must drain every unit: a wake lost anywhere
// leaves a unit behind with all witnesses asleep, and the round misses its
// generous deadline.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kUnitsPerRound = 3000;
// Units posted one at a time at the end of a round, each together with a
// signal of the noisy event, while only the witnesses wait: two wakes then
// often reach the same sleeper, which can take only one object.
constexpr int kTail = 100;

// Runs one round; false when the witnesses failed to drain the units.
bool run_round(unsigned seed) {
  krCore::semaphore units(1 << 30, 0, L"");
  krCore::autoresetevent noise;
  krCore::manualresetevent all_taken;
  std::atomic<int> taken{0};
  std::atomic<bool> producing{true};

  krCore::autoresetevent took;
  auto take_one = [&] {
    if (++taken == kUnitsPerRound) all_taken.signal();
    took.signal();
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&] {
      HANDLE set[] = {noise, units, all_taken};
      for (;;) {
        const DWORD r = WaitForMultipleObjects(3, set, 0, INFINITE);
        if (r == 1) take_one();
        if (r == 2 || r == 0xFFFFFFFF) return;
      }
    });
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&, r] {
      std::minstd_rand rng(seed + r);
      HANDLE set[] = {noise, units};
      while (producing.load())
        if (WaitForMultipleObjects(2, set, 0, 1 + rng() % 3) == 1) take_one();
    });
  std::thread noisy([&] {
    while (producing.load()) {
      noise.signal();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p)
    producers.emplace_back([&, p] {
      std::minstd_rand rng(seed * 7 + p);
      const int share = (kUnitsPerRound - kTail) / 2;
      for (int posted = 0; posted < share;) {
        const int n = std::min<int>(1 + rng() % 3, share - posted);
        units.release(n);
        posted += n;
        if (rng() % 8 == 0) std::this_thread::yield();
      }
    });
  for (auto& p : producers) p.join();
  producing = false;
  noisy.join();
  bool drained = true;
  while (taken.load() < kUnitsPerRound - kTail)
    if (WaitForSingleObject(took, 20000) != 0) drained = false;
  for (int i = 0; i < kTail && drained; ++i) {
    const int before = taken.load();
    noise.signal();
    units.release(1);
    while (drained && taken.load() == before)
      if (WaitForSingleObject(took, 20000) != 0) drained = false;
  }
  drained = drained && WaitForSingleObject(all_taken, 20000) == 0;
  all_taken.signal();  // release the witnesses either way
  for (auto& t : threads) t.join();
  return drained && taken.load() == kUnitsPerRound;
}

TEST(LostWake, EveryPostedUnitIsTakenWithinTheRound) {
  const auto budget = std::chrono::seconds(4);
  const auto start = std::chrono::steady_clock::now();
  int rounds = 0;
  while (rounds < 200 && std::chrono::steady_clock::now() - start < budget) {
    ASSERT_TRUE(run_round(static_cast<unsigned>(rounds) + 1)) << "round " << rounds;
    ++rounds;
  }
  RecordProperty("rounds", rounds);
  std::printf("lost-wake stress: %d rounds of %d units\n", rounds, kUnitsPerRound);
}

}  // namespace
