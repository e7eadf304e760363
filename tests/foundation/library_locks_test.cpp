// Every lock in the library's sources is one that holds off a forced end of
// its holder: a plain standard or POSIX lock taken anywhere else would let
// a thread be ended while holding it, and every later caller would hang.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
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
bool windows_half(const std::string& path) { return path == "threading/windows/native_thread.cpp"; }

bool word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// True when `code` names a standard mutex type (other than the counted
// `held_lock<std::mutex>`) or calls a POSIX lock function.
bool names_plain_lock(std::string code) {
  for (std::size_t at; (at = code.find("held_lock<std::mutex>")) != std::string::npos;)
    code.erase(at, 21);
  static const char* const kTypes[] = {"std::mutex", "std::recursive_mutex", "std::timed_mutex",
                                       "std::recursive_timed_mutex", "std::shared_mutex",
                                       "std::shared_timed_mutex"};
  static const char* const kCalls[] = {"pthread_mutex_lock",     "pthread_mutex_trylock",
                                       "pthread_mutex_timedlock", "pthread_rwlock_rdlock",
                                       "pthread_rwlock_wrlock",  "pthread_rwlock_tryrdlock",
                                       "pthread_rwlock_trywrlock", "pthread_rwlock_timedrdlock",
                                       "pthread_rwlock_timedwrlock", "pthread_spin_lock",
                                       "pthread_spin_trylock"};
  auto whole_word = [&](const std::string& word) {
    for (std::size_t at = code.find(word); at != std::string::npos; at = code.find(word, at + 1)) {
      const std::size_t end = at + word.size();
      const bool starts = at == 0 || (!word_char(code[at - 1]) && code[at - 1] != ':');
      if (starts && (end == code.size() || !word_char(code[end]))) return true;
    }
    return false;
  };
  for (const char* t : kTypes)
    if (whole_word(t)) return true;
  for (const char* c : kCalls)
    if (whole_word(c)) return true;
  return false;
}

TEST(LibraryLocks, NoPlainLockOutsideTheLibraryMutex) {
  const fs::path root = KRCORE_SOURCE_DIR;
  ASSERT_TRUE(fs::is_directory(root)) << root;
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
      if (names_plain_lock(comment == std::string::npos ? line : line.substr(0, comment)))
        offenders += path + ":" + std::to_string(number) + ": " + line + "\n";
    }
  }
  EXPECT_GT(sources, 100u);
  EXPECT_EQ(offenders, "") << "use detail::library_mutex (foundation/kill_hold.h)";
}

}  // namespace
