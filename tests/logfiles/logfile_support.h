// Test support for the log files: a scratch folder per test that also
// serves as the machine-wide application-data folder, a fresh logger, and a
// reader that decodes a log file.
#pragma once

#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <krcore/sysutil.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "logging/log_capture.h"
#include "foundation/utf.h"

namespace logfiletest {

namespace fs = std::filesystem;
using krCore::logger;

using logtest::debug_capture;

// True when some text sent to the debugger output contains `part`.
inline bool saw(const debug_capture& capture, const std::wstring& part) {
  for (const std::wstring& text : capture.texts())
    if (text.find(part) != std::wstring::npos) return true;
  return false;
}

// A log file as a reader sees it.
struct log_content {
  bool bom = false;
  bool even = false;  // a whole number of UTF-16 units
  std::wstring text;  // decoded, without the byte-order mark
  std::vector<std::wstring> lines() const {
    std::vector<std::wstring> out;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
      out.push_back(text.substr(start, end - start));
    return out;
  }
};

// The whole content of a file, as bytes.
inline std::string raw(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline log_content read_log(const fs::path& path) {
  const std::string bytes = raw(path);
  log_content content;
  content.bom = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  content.even = bytes.size() % 2 == 0;
  std::u16string units;
  for (size_t i = content.bom ? 2 : 0; i + 1 < bytes.size(); i += 2)
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  content.text = krCore::detail::wide_from_utf16(units);
  return content;
}

// The file of number `n` of a base.
inline fs::path numbered(const fs::path& base, int n) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%04d.log.txt", n);
  return fs::path(base.string() + suffix);
}

// A line of a settings report: its first line, one of its items, or the
// empty line its own final line end leaves.
inline bool is_report(const std::wstring& line) {
  return line.empty() || line[0] == L'\t' ||
         line.find(L"QM Logger initialized") != std::wstring::npos;
}

// A scratch folder, used as the application-data folder too; a fresh
// disabled logger before and none after each test.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("qmcore-logfiles-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    ::setenv("KRCORE_COMMON_APPDATA", dir.c_str(), 1);
    logger::close();
    log = krCore::singleton<logger>::instance();
  }
  void TearDown() override {
    logger::close();
    ::unsetenv("KRCORE_COMMON_APPDATA");
    std::error_code ignored;
    if (!::getenv("KEEP_LOGS")) fs::remove_all(dir, ignored);
  }

  // Every line (reports excluded) of every file of `base`, numbers 1..max.
  static std::vector<std::wstring> all_lines(const fs::path& base, int max) {
    std::vector<std::wstring> out;
    for (int n = 1; n <= max; ++n) {
      if (!fs::exists(numbered(base, n))) continue;
      for (const std::wstring& line : read_log(numbered(base, n)).lines())
        if (!is_report(line)) out.push_back(line);
    }
    return out;
  }

  fs::path dir;
  logger* log = nullptr;
};

}  // namespace logfiletest
