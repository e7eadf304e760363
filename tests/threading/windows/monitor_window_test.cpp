// The clock-change monitor on Windows: its thread owns a hidden top-level
// window that the window system's broadcasts reach, and a WM_TIMECHANGE
// sent or posted to it is reported once on the debugger channel. Setting
// the clock itself needs a privilege a test does not have (and Wine does
// not broadcast it), so the message is delivered the ways the system and
// other programs deliver it: sent, broadcast and posted.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/threading.h>

#include <string>

#include "threading/monitor_lines.h"

namespace {

HWND monitor_window() { return FindWindowW(nullptr, L"notification_window"); }

// Whether top-level windows can be made at all: Wine without a display
// (no X server, and no null graphics driver chosen in its prefix) refuses
// every one.
bool windows_can_be_made() {
  const HWND probe = CreateWindowExW(0, L"STATIC", L"probe", 0, 0, 0, 1, 1, nullptr, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
  if (!probe) return false;
  DestroyWindow(probe);
  return true;
}

TEST(MonitorWindowOnWindows, TimeChangesReachTheLoopOnceHoweverTheyAreDelivered) {
  if (!windows_can_be_made())
    GTEST_SKIP() << "Wine gap: no display driver, so no window can be made";
  monitor_lines seen;
  krCore::singleton<krCore::krMonitorWindow>::instance();
  // A message-only window would not be found, nor receive broadcasts.
  const HWND window = monitor_window();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));

  // Sent to the window (as the system sends it): returns once handled.
  SendMessageW(window, WM_TIMECHANGE, 0, 0);
  ASSERT_TRUE(seen.wait_for(kTimeChangeLine, 1));
  // Broadcast to every top-level window.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, 20000, &ignored);
  ASSERT_TRUE(seen.wait_for(kTimeChangeLine, 2));
  // Posted, as some programs do.
  ASSERT_TRUE(PostMessageW(window, WM_TIMECHANGE, 0, 0));
  ASSERT_TRUE(seen.wait_for(kTimeChangeLine, 3));

  // Each delivery was reported once: a quit now is handled after anything
  // still queued, so a doubled report would show up before close returns.
  krCore::krMonitorWindow::close();
  EXPECT_EQ(seen.count(kTimeChangeLine), 3);
  EXPECT_EQ(monitor_window(), nullptr);
}

TEST(MonitorWindowOnWindows, EachInstanceHasAWindowClassOfItsOwn) {
  if (!windows_can_be_made())
    GTEST_SKIP() << "Wine gap: no display driver, so no window can be made";
  krCore::singleton<krCore::krMonitorWindow>::instance();
  const HWND first = monitor_window();
  ASSERT_NE(first, nullptr);
  wchar_t first_class[256] = {};
  ASSERT_GT(GetClassNameW(first, first_class, 256), 0);
  krCore::krMonitorWindow::close();

  // The class went with the window: a new instance registers its own (the
  // name may even repeat) and works.
  monitor_lines seen;
  krCore::singleton<krCore::krMonitorWindow>::instance();
  const HWND second = monitor_window();
  ASSERT_NE(second, nullptr);
  wchar_t second_class[256] = {};
  ASSERT_GT(GetClassNameW(second, second_class, 256), 0);
  EXPECT_EQ(std::wstring(second_class).rfind(L"notification_thread:", 0), 0u);
  SendMessageW(second, WM_TIMECHANGE, 0, 0);
  EXPECT_TRUE(seen.wait_for(kTimeChangeLine, 1));
  krCore::krMonitorWindow::close();
}

}  // namespace
