// Shared pieces of the waitable-object tests: unique object names, the
// helper process, waiting for a sleeper, and the check that no segment of this test is left in
// /dev/shm.
#pragma once

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/waitable.h"


namespace synctest {

// A name no other test process uses: the test's pid and a tag.
inline std::wstring unique_name(const char* tag) {
  return L"krtest-" + std::to_wstring(::getpid()) + L"-" +
         std::wstring(tag, tag + std::char_traits<char>::length(tag));
}

inline std::string narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The segments in /dev/shm that belong to this test process.
inline std::vector<std::string> leftover_segments() {
  std::vector<std::string> out;
  const std::string prefix = "qmcore.krtest-" + std::to_string(::getpid()) + "-";
  if (DIR* d = ::opendir("/dev/shm")) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name).rfind(prefix, 0) == 0) out.push_back(e->d_name);
    ::closedir(d);
  }
  return out;
}

// Starts the helper program with `args`; returns its pid.
inline pid_t spawn_helper(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string path = SYNC_HELPER_PATH;
  argv.push_back(path.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// The second account the cross-account tests run the helper as.
constexpr uid_t kOtherAccount = 65534;

// The helper as a program the second account may start: a copy in a fresh
// folder every account may enter, since the build tree may sit in one that
// the second account cannot (a private home, mode 0700). Made once per test
// process and removed when it ends.
inline const std::string& helper_for_other_account() {
  struct copy {
    std::string dir, path;
    copy() {
      char name[] = "/tmp/qmcore-helper.XXXXXX";
      if (!::mkdtemp(name) || ::chmod(name, 0755) != 0) return;
      dir = name;
      path = dir + "/sync_helper";
      std::ifstream in(SYNC_HELPER_PATH, std::ios::binary);
      std::ofstream out(path, std::ios::binary);
      out << in.rdbuf();
      out.close();
      if (!in || !out || ::chmod(path.c_str(), 0755) != 0) path.clear();
    }
    ~copy() {
      if (!dir.empty()) {
        ::unlink((dir + "/sync_helper").c_str());
        ::rmdir(dir.c_str());
      }
    }
  };
  static const copy c;
  return c.path;
}

// Starts the helper with `args` in a forked child that drops to the second
// account first; its pid.
inline pid_t spawn_helper_as_other_account(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::string path = helper_for_other_account();
  std::vector<char*> argv{path.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherAccount) != 0 ||
        ::setuid(kOtherAccount) != 0)
      ::_exit(70);
    ::execv(path.c_str(), argv.data());
    ::_exit(71);
  }
  return pid;
}

// Waits for the helper to end; its exit code, or -1 when it did not exit.
inline int wait_helper(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Blocks until `n` waiters are counted on the object of `h` (bounded by a
// generous limit), so a test knows a waiter is asleep before it acts.
inline void await_waiters(HANDLE h, unsigned n) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (krCore::detail::waiter_count(h) < n && std::chrono::steady_clock::now() < limit)
    std::this_thread::yield();
}

// Sets /proc/sys/<name> (a Debian default the machine may differ from);
// the test machine keeps it.
// Sets a sysctl for one scope and puts the machine's value back after it.
class sysctl_setting {
 public:
  sysctl_setting(const char* name, const char* value) : _path(std::string("/proc/sys/") + name) {
    std::ifstream(_path) >> _saved;
    std::ofstream(_path) << value;
  }
  ~sysctl_setting() {
    if (!_saved.empty()) std::ofstream(_path) << _saved;
  }
  sysctl_setting(const sysctl_setting&) = delete;
  sysctl_setting& operator=(const sysctl_setting&) = delete;

 private:
  std::string _path, _saved;
};

inline void kill_helper(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status;
  ::waitpid(pid, &status, 0);
}

}  // namespace synctest
