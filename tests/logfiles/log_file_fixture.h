// A folder of its own for each test of the open log file, and the file's
// name in it; removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "logging/logfile_io.h"

class log_file_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // A random name: tests of other processes run beside these.
    std::random_device random;
    dir = std::filesystem::temp_directory_path() /
          ("qmcore-logfile-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir);
    path = (dir / "a.log.txt").wstring();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  // Opens `path` for writing, not write-through; `identity` tells which
  // file it is.
  unsigned long open(krCore::detail::log_file& file, bool keep = false) {
    std::uint64_t size = 0;
    return file.open(path, false, keep, identity, size);
  }

  // The open file's size, once it is known to still have its name.
  static std::uint64_t named_size(const krCore::detail::log_file& file) {
    std::uint64_t size = 0;
    bool unlinked = true;
    EXPECT_EQ(file.state(size, unlinked), 0u);
    EXPECT_FALSE(unlinked);
    return size;
  }

  std::filesystem::path dir;
  std::wstring path;
  krCore::detail::file_identity identity;
};
