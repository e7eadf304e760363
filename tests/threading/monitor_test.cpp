// Thread message queues, the clock and zone watch, and the clock-change
// monitor: what a posted message looks like when it is taken out, which
// threads can receive posts, what ends a wait for handles or input, that
// setting the clock reaches the monitor, and that closing the monitor ends
// its thread.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <krcore/threading.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/debug_output.h"
#include "threading/monitor_lines.h"
#include "scheduling/clock_watch.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD kStepMs = 10000;  // generous bound for a step of microseconds
constexpr auto kStep = std::chrono::milliseconds(kStepMs);

DWORD this_thread_id() { return static_cast<DWORD>(::gettid()); }

// Sets the wall clock to the time it has, which still counts as setting it.
// False when the process may not set the clock (no CAP_SYS_TIME).
bool set_clock_to_itself() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return ::clock_settime(CLOCK_REALTIME, &now) == 0;
}

// A count that tests wait for, raised from any thread: set once, it is a
// latch; as a callback, it counts the calls.
class latch {
 public:
  void set() {
    std::lock_guard<std::mutex> lock(_m);
    ++_count;
    _cv.notify_all();
  }
  bool wait(int count = 1) {
    std::unique_lock<std::mutex> lock(_m);
    return _cv.wait_for(lock, kStep, [&] { return _count >= count; });
  }
  std::function<void()> callback() {
    return [this] { set(); };
  }

 private:
  std::mutex _m;
  std::condition_variable _cv;
  int _count = 0;
};

// ---------------------------------------------------------------------------
// Posting and peeking.
// ---------------------------------------------------------------------------

TEST(MessageQueue, PeekTakesPostedMessagesInOrderWithTheirContent) {
  MSG msg{};
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));  // makes the queue
  const DWORD me = this_thread_id();
  ASSERT_TRUE(PostThreadMessageW(me, WM_USER + 1, 11, -1));
  ASSERT_TRUE(PostThreadMessageW(me, WM_USER + 2, 22, -2));
  ASSERT_TRUE(PostThreadMessageW(me, WM_USER + 3, ~WPARAM{0}, 3));

  // A look without removal leaves the message in place.
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  // A range takes the oldest message inside it, past older ones.
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 2, WM_USER + 3, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 2);
  EXPECT_EQ(msg.wParam, 22u);
  EXPECT_EQ(msg.lParam, -2);
  EXPECT_EQ(msg.hwnd, nullptr);

  ASSERT_TRUE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  EXPECT_EQ(msg.wParam, 11u);
  EXPECT_EQ(msg.lParam, -1);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 3);
  EXPECT_EQ(msg.wParam, ~WPARAM{0});
  EXPECT_EQ(msg.lParam, 3);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

  // There are no windows: a window filter finds nothing.
  ASSERT_TRUE(PostThreadMessageW(me, WM_USER, 0, 0));
  SetLastError(0);
  EXPECT_FALSE(PeekMessageW(&msg, reinterpret_cast<HWND>(0x1234), 0, 0, PM_REMOVE));
  EXPECT_EQ(GetLastError(), 1400u);
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(MessageQueue, PostsReachOnlyThreadsThatHaveAQueue) {
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), 1444u);

  latch started, made_queue, may_end;
  std::atomic<DWORD> id{0};
  std::thread t([&] {
    id = this_thread_id();
    started.set();
    may_end.wait();  // first wait: until the test tried the post
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    made_queue.set();
  });
  ASSERT_TRUE(started.wait());
  // The thread exists but never looked at its queue.
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), 1444u);
  may_end.set();
  ASSERT_TRUE(made_queue.wait());
  t.join();
  // The thread ended; its queue ended with it.
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), 1444u);
}

TEST(MessageQueue, LiveThreadReceivesAndAFullQueueRefuses) {
  latch has_queue, posted;
  std::atomic<DWORD> id{0};
  std::vector<UINT> seen;
  std::thread t([&] {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    id = this_thread_id();
    has_queue.set();
    posted.wait();
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) seen.push_back(msg.message);
  });
  ASSERT_TRUE(has_queue.wait());
  for (UINT i = 0; i < 10000; ++i) ASSERT_TRUE(PostThreadMessageW(id, WM_USER + i, 0, 0)) << i;
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), 1816u);
  posted.set();
  t.join();
  ASSERT_EQ(seen.size(), 10000u);
  for (UINT i = 0; i < 10000; ++i) ASSERT_EQ(seen[i], WM_USER + i);
}

// ---------------------------------------------------------------------------
// Waiting for handles or input.
// ---------------------------------------------------------------------------

TEST(MessageWait, WakesOnAPostFromAnotherThread) {
  krCore::autoresetevent unused;
  HANDLE handles[1] = {unused};
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  const DWORD me = this_thread_id();
  std::thread poster([me] { PostThreadMessageW(me, WM_USER + 7, 0, 0); });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, 0, kStepMs, QS_ALLINPUT), 1u);
  poster.join();
  // The input was reported: a message still queued does not end the next
  // wait, only a new post does.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, 0, 0, QS_ALLINPUT), 258u);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 7);
  ASSERT_TRUE(PostThreadMessageW(me, WM_USER, 0, 0));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 0, QS_ALLINPUT), 0u);  // input, no handles
  PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
}

TEST(MessageWait, WakesOnAHandleAndTheLowestIndexWins) {
  krCore::autoresetevent first, second;
  HANDLE handles[2] = {first, second};
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);

  std::thread setter([&] { second.signal(); });
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0, kStepMs, QS_ALLINPUT), 1u);
  setter.join();

  // A handle wins over input; the input is still reported next.
  ASSERT_TRUE(PostThreadMessageW(this_thread_id(), WM_USER, 0, 0));
  first.signal();
  second.signal();
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0, 0, QS_ALLINPUT), 0u);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0, 0, QS_ALLINPUT), 1u);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0, 0, QS_ALLINPUT), 2u);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0, 0, QS_ALLINPUT), 258u);
  PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);

  // Without posted messages in the mask only the handles count.
  ASSERT_TRUE(PostThreadMessageW(this_thread_id(), WM_USER, 0, 0));
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0, 0, 0), 258u);
  PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
}

TEST(MessageWait, RejectsWhatItCannotWaitFor) {
  krCore::autoresetevent e;
  HANDLE many[64];
  std::fill(std::begin(many), std::end(many), static_cast<HANDLE>(e));
  SetLastError(0);
  EXPECT_EQ(MsgWaitForMultipleObjects(64, many, 0, 0, QS_ALLINPUT), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, many, 1, 0, QS_ALLINPUT), 0xFFFFFFFFu);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 0, 0), 0xFFFFFFFFu);
}

// ---------------------------------------------------------------------------
// The clock and zone watch.
// ---------------------------------------------------------------------------

class ClockWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmcore-zone-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name) << text;
  }

  std::filesystem::path dir;
  latch changes;
};

TEST_F(ClockWatch, ZoneFileChangesAreNoticed) {
  krCore::detail::clock_change_watch watch(changes.callback(), (dir / "localtime").string());
  write("other", "unrelated");
  // The usual way a zone is switched: a new file renamed over the old name.
  write("localtime.new", "zone data");
  std::filesystem::rename(dir / "localtime.new", dir / "localtime");
  ASSERT_TRUE(changes.wait(1));
  // Rewritten in place also counts.
  write("localtime", "other zone data");
  ASSERT_TRUE(changes.wait(2));
}

TEST_F(ClockWatch, SettingTheClockIsNoticedEveryTime) {
  krCore::detail::clock_change_watch watch(changes.callback(), (dir / "localtime").string());
  if (!set_clock_to_itself()) GTEST_SKIP() << "setting the clock needs CAP_SYS_TIME";
  ASSERT_TRUE(changes.wait(1));
  // The timer was armed again.
  ASSERT_TRUE(set_clock_to_itself());
  ASSERT_TRUE(changes.wait(2));
}

// ---------------------------------------------------------------------------
// The monitor.
// ---------------------------------------------------------------------------


using krCore::krMonitorWindow;

TEST(MonitorWindow, CloseReturnsAfterTheThreadLeftItsLoop) {
  monitor_lines out;
  krMonitorWindow::close();  // no instance: nothing happens
  EXPECT_TRUE(out.lines().empty());

  // Only the quit lines count: a test in another process may set the clock
  // meanwhile, and every monitor on the machine reports that.
  auto quit_lines = [&out] {
    const std::vector<std::wstring> all = out.lines();
    return std::count(all.begin(), all.end(), kQuitLine);
  };
  for (int round = 0; round < 2; ++round) {  // a closed monitor can be made again
    ASSERT_NE(krCore::singleton<krMonitorWindow>::instance(), nullptr);
    krMonitorWindow::close();
    // No waiting here: the line was written before close() returned.
    EXPECT_EQ(quit_lines(), round + 1);
  }
  krMonitorWindow::close();
  EXPECT_EQ(quit_lines(), 2);
}

TEST(MonitorWindow, SettingTheClockIsReported) {
  monitor_lines out;
  krCore::singleton<krMonitorWindow>::instance();
  if (!set_clock_to_itself()) {
    krMonitorWindow::close();
    GTEST_SKIP() << "setting the clock needs CAP_SYS_TIME";
  }
  EXPECT_TRUE(out.wait_for(kTimeChangeLine));
  krMonitorWindow::close();
  const std::vector<std::wstring> lines = out.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kQuitLine);
}

}  // namespace
