// Test support: every test protects with a key file of its own, in a fresh
// directory that every account can enter, so that no test touches the
// machine's real key and tests cannot see each other's keys. On Windows the
// system keeps the machine's secret, so the tests there use it as it is.
#pragma once

#include <gtest/gtest.h>

#if defined(_WIN32)
namespace protecttest {
class KeyTest : public ::testing::Test {};
}  // namespace protecttest
#else
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "protection/machine_key.h"

namespace protecttest {

// A directory under the system's temporary folder, removed at the end.
class key_dir {
 public:
  key_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qmcore-key-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    chmod(pattern.c_str(), 0755);
    _path = pattern;
  }
  ~key_dir() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
  }
  key_dir(const key_dir&) = delete;
  key_dir& operator=(const key_dir&) = delete;

  const std::string& path() const { return _path; }
  std::string file(const std::string& name) const { return _path + "/" + name; }

 private:
  std::string _path;
};

// Points the protection at `machine.key` in a fresh directory for the test.
class KeyTest : public ::testing::Test {
 protected:
  void SetUp() override { use_key("machine.key"); }
  void TearDown() override { krCore::detail::set_machine_key_file(dir.file("unused.key")); }

  // Switches to another key file in the same directory.
  void use_key(const std::string& name) {
    krCore::detail::set_machine_key_file(dir.file(name));
  }

  key_dir dir;
};

}  // namespace protecttest
#endif  // !_WIN32
