// Records the clock-change monitor's lines on the debugger channel while it
// lives, and lets a test wait for them.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "logging/debug_output.h"

inline const std::wstring kQuitLine = L"krMonitorWindow::run() - WM_QUIT was processed.";
inline const std::wstring kTimeChangeLine =
    L"krMonitorWindow::run() - WM_TIMECHANGE was processed.";

// Installs the channel's test hook (one at a time per process).
class monitor_lines {
 public:
  monitor_lines() {
    krCore::detail::set_debug_output_hook([this](const std::wstring& text) {
      if (text.rfind(L"krMonitorWindow", 0) != 0) return;
      std::lock_guard<std::mutex> lock(_m);
      _lines.push_back(text);
      _cv.notify_all();
    });
  }
  ~monitor_lines() { krCore::detail::set_debug_output_hook({}); }
  monitor_lines(const monitor_lines&) = delete;
  monitor_lines& operator=(const monitor_lines&) = delete;

  // Waits (generously bounded) until `line` was written `times` times.
  bool wait_for(const std::wstring& line, std::ptrdiff_t times = 1) {
    std::unique_lock<std::mutex> lock(_m);
    return _cv.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::count(_lines.begin(), _lines.end(), line) >= times;
    });
  }
  std::vector<std::wstring> lines() {
    std::lock_guard<std::mutex> lock(_m);
    return _lines;
  }
  std::ptrdiff_t count(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(_m);
    return std::count(_lines.begin(), _lines.end(), line);
  }

 private:
  std::mutex _m;
  std::condition_variable _cv;
  std::vector<std::wstring> _lines;
};
