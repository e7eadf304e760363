// A test fixture whose logger writes into a scratch folder and hands every
// line to the test, for the forced-end tests that wait for what the library
// says about a thread.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/logging.h>

#include <filesystem>
#include <functional>
#include <string>

namespace threadtest {

class scratch_log_test : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("qmcore-forced-end-" + std::to_string(::GetCurrentProcessId()));
    log = krCore::singleton<krCore::logger>::instance();
    log->set_write_message_func([this](const wchar_t* message, krCore::logger::log_levels) {
      if (on_line) on_line(message);
    });
    log->initialize(0, level, 0, 0, (folder / "forced-end").wstring().c_str());
  }
  void TearDown() override {
    on_line = nullptr;
    krCore::logger::close();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  // The levels logged: all of them, unless a test must keep the library's
  // own lines (and the logger's lock) off the thread's path.
  int level = 0xF;
  std::filesystem::path folder;
  krCore::logger* log = nullptr;
  // Set before the thread starts, read by whichever thread logs.
  std::function<void(const std::wstring&)> on_line;
};

}  // namespace threadtest
