// Every lock in the library's sources is one that holds off a forced end of
// its holder: a plain standard or POSIX lock taken anywhere else would let
// a thread be ended while holding it, and every later caller would hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// Sources allowed to name a plain lock type, and why.
const std::set<std::string> kAllowed = {
    // The library's lock itself, over std::mutex.
    "foundation/kill_hold.h",
    // critical_section's platform lock, counted by critical_section itself.
    "foundation/linux/critical_section.cpp",
    // Robust mutexes whose owner's end is reported, never waited out:
    // waitable mutexes (abandoned) and the thread handles' liveness marks.
    "foundation/linux/objects.cpp",
    "threading/linux/thread_handle.cpp",
};

// The Windows half's thread table holds off the forced end around its lock
// by itself (kill_hold), the way TerminateThread has to be held off there.
bool windows_half(const std::string& path) { return path.find("windows/") != std::string::npos; }

TEST(LibraryLocks, NoPlainLockOutsideTheLibraryMutex) {
  const fs::path root = KRCORE_SOURCE_DIR;
  ASSERT_TRUE(fs::is_directory(root)) << root;
  const std::regex plain(
      R"(std::(recursive_|timed_|recursive_timed_|shared_|shared_timed_)?mutex\b|)"
      R"(pthread_(mutex|rwlock|spin)_(timed|try)?(lock|rdlock|wrlock)\b)");
  // A lock of a type an exported class fixes, taken through the guard that
  // counts it.
  const std::regex counted(R"(held_lock<std::mutex>)");
  std::string offenders;
  std::size_t sources = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
    const std::string path = entry.path().lexically_relative(root).generic_string();
    ++sources;
    if (kAllowed.count(path) != 0 || windows_half(path)) continue;
    std::ifstream in(entry.path());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      const std::size_t comment = line.find("//");
      const std::string code = std::regex_replace(
          comment == std::string::npos ? line : line.substr(0, comment), counted, "");
      if (std::regex_search(code, plain))
        offenders += path + ":" + std::to_string(number) + ": " + line + "\n";
    }
  }
  EXPECT_GT(sources, 100u);
  EXPECT_EQ(offenders, "") << "use detail::library_mutex (foundation/kill_hold.h)";
}

}  // namespace
