// Test support: a fresh logger per test that records every entry (no file,
// no console), and a way to wait until a line containing a text appears.
#pragma once

#include <gtest/gtest.h>
#include <krcore/logging.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace proctest {

using krCore::logger;

class LoggedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger::close();
    logger* log = krCore::singleton<logger>::instance();
    log->set_write_message_func([this](const wchar_t* message, logger::log_levels level) {
      std::lock_guard<std::mutex> lock(_mutex);
      _lines.push_back({message, level});
      _changed.notify_all();
    });
    log->initialize(0, logger::log_verbose, 0, 0, nullptr);
    std::lock_guard<std::mutex> lock(_mutex);
    _lines.clear();
  }
  void TearDown() override { logger::close(); }

  struct line {
    std::wstring text;
    logger::log_levels level;
  };

  std::vector<line> lines() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines;
  }
  // The lines that contain `part`.
  std::vector<line> with(const std::wstring& part) {
    std::vector<line> out;
    for (const line& l : lines())
      if (l.text.find(part) != std::wstring::npos) out.push_back(l);
    return out;
  }
  // Waits (at most 20 s) until a line contains `part`.
  bool wait_for(const std::wstring& part) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const line& l : _lines)
        if (l.text.find(part) != std::wstring::npos) return true;
      return false;
    });
  }

 private:
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<line> _lines;
};

}  // namespace proctest
