// The recursive lock, its scope holder and the singleton template.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <atomic>
#include <thread>
#include <vector>

using krCore::auto_lock;
using krCore::critical_section;

// The owner reads its own depth; a free lock reads as free on both
// platforms.
TEST(CriticalSection, RecursionIsCountedAndTheHolderUnlocksOnce) {
  critical_section cs;
  EXPECT_EQ(cs.lockcount(), -1);
  cs.lock();  // an outer hold that must survive the holder
  {
    auto_lock lock(cs);
    EXPECT_EQ(cs.recursioncount(), 2);
    lock.unlock();
    lock.unlock();
    EXPECT_EQ(cs.recursioncount(), 1);
  }
  EXPECT_EQ(cs.recursioncount(), 1);
  cs.unlock();
  // Another thread can take it now.
  std::thread([&] {
    auto_lock lock(cs);
    EXPECT_EQ(cs.recursioncount(), 1);
  }).join();
  EXPECT_EQ(cs.lockcount(), -1);
  EXPECT_EQ(cs.recursioncount(), 0);
}

namespace {
std::atomic<int> g_constructed{0};
class Probe : public krCore::singleton<Probe> {
 public:
  Probe() {
    ++g_constructed;
    std::this_thread::yield();
  }
  static void close() { destroy_instance(); }
};
}  // namespace

TEST(Singleton, ConcurrentFirstCallsConstructOne) {
  std::vector<std::thread> threads;
  std::atomic<Probe*> seen[8] = {};
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = Probe::instance(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(g_constructed.load(), 1);
  for (auto& p : seen) EXPECT_EQ(p.load(), seen[0].load());
  Probe::close();
  Probe::close();  // a second close finds nothing
  Probe* again = Probe::instance();
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(g_constructed.load(), 2);
  Probe::close();
}
