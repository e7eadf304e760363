// Test support for the logger: a fresh logger per test, and recorders for
// the three places an entry can be seen (the callback, the debugger output
// channel and standard output).
#pragma once

#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "logging/debug_output.h"

namespace logtest {

using krCore::logger;

// Records every text sent to the debugger output while it lives.
class debug_capture {
 public:
  debug_capture() {
    krCore::detail::set_debug_output_hook([this](const std::wstring& text) {
      std::lock_guard<std::mutex> lock(_mutex);
      _texts.push_back(text);
    });
  }
  ~debug_capture() { krCore::detail::set_debug_output_hook({}); }
  std::vector<std::wstring> texts() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _texts;
  }

 private:
  mutable std::mutex _mutex;
  std::vector<std::wstring> _texts;
};

// Standard output sent to a temporary file while it lives, both the C
// runtime's descriptor 1 and (on Windows, where the runtime moves it along)
// the process's output handle; take() gives back the bytes exactly as
// written. GoogleTest's own capture reads its file in text mode, which on
// Windows turns every CR LF into LF.
class stdout_capture {
 public:
  stdout_capture() {
    std::fflush(stdout);
    _file = std::tmpfile();
    _saved = dup(1);
    if (_file && _saved >= 0) dup2(fileno(_file), 1);
  }
  ~stdout_capture() { restore(); }
  stdout_capture(const stdout_capture&) = delete;
  stdout_capture& operator=(const stdout_capture&) = delete;

  std::string take() {
    restore();
    std::string out;
    if (!_file) return out;
    std::rewind(_file);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, _file)) > 0;) out.append(buffer, n);
    return out;
  }

 private:
  void restore() {
    if (_saved < 0) return;
    std::fflush(stdout);
    dup2(_saved, 1);
    close(_saved);
    _saved = -1;
  }

  std::FILE* _file = nullptr;
  int _saved = -1;
};

struct entry {
  std::wstring message;
  logger::log_levels level;
};

// Each test starts with a fresh, disabled logger and leaves none behind, and
// works in a private scratch folder that it removes again.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger::close();
    log = krCore::singleton<logger>::instance();
    // A random name: other test programs run beside this one.
    std::random_device random;
    scratch = std::filesystem::temp_directory_path() /
              ("qmcore-logging-" + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(std::filesystem::create_directory(scratch));
  }
  void TearDown() override {
    logger::close();
    std::error_code ignored;
    if (!scratch.empty()) std::filesystem::remove_all(scratch, ignored);
  }

  // A log base name inside the scratch folder.
  std::wstring base(const char* name) const { return (scratch / name).wstring(); }

  // Enables the logger with a recording callback; the initial settings
  // report is dropped from the record.
  void start(int options, int level) {
    log->set_write_message_func([this](const wchar_t* message, logger::log_levels level) {
      std::lock_guard<std::mutex> lock(mutex);
      entries.push_back({message, level});
    });
    log->initialize(options, level, 0, 0, base("logging-test").c_str());
    entries.clear();
  }

  std::vector<std::wstring> messages() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::wstring> out;
    for (const entry& e : entries) out.push_back(e.message);
    return out;
  }

  // Reports carry this text; tests that count ordinary lines skip them.
  static bool is_report(const std::wstring& text) {
    return text.find(L"QM Logger initialized") != std::wstring::npos;
  }

  logger* log = nullptr;
  std::filesystem::path scratch;
  std::mutex mutex;
  std::vector<entry> entries;
};

}  // namespace logtest
