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

#include <algorithm>
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

// The segments in /dev/shm that belong to this test process: root's names
// of its objects, plain or qualified with an IPC namespace.
inline std::vector<std::string> leftover_segments() {
  std::vector<std::string> out;
  const std::string mark = ".krtest-" + std::to_string(::getpid()) + "-";
  if (DIR* d = ::opendir("/dev/shm")) {
    while (dirent* e = ::readdir(d)) {
      const std::string file = e->d_name;
      const std::size_t dot = file.find('.');
      if ((file.rfind("qmcore.", 0) == 0 || file.rfind("qmcore@", 0) == 0) &&
          file.compare(dot, mark.size(), mark) == 0)
        out.push_back(file);
    }
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

// Copies `from` to `to`, readable and runnable by every account.
inline bool copy_for_everyone(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  out.close();
  return in && out && ::chmod(to.c_str(), 0755) == 0;
}

// The helper as a program the second account may start: a copy in a fresh
// folder every account may enter, since the build tree may sit in one that
// the second account cannot (a private home, mode 0700). A thread
// sanitizer's suppression file named in TSAN_OPTIONS is copied beside it
// for the same reason, and `environment` is this process's, pointing there.
// Made once per test process and removed when it ends.
struct other_account_helper {
  std::string dir, path;
  std::vector<std::string> environment;
  other_account_helper() {
    char name[] = "/tmp/qmcore-helper.XXXXXX";
    if (!::mkdtemp(name) || ::chmod(name, 0755) != 0) return;
    dir = name;
    path = dir + "/sync_helper";
    if (!copy_for_everyone(SYNC_HELPER_PATH, path)) path.clear();
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      const std::string key = "suppressions=";
      const std::size_t at = entry.find(key);
      if (entry.rfind("TSAN_OPTIONS=", 0) == 0 && at != std::string::npos) {
        const std::size_t end = std::min(entry.find_first_of(" :", at), entry.size());
        const std::string copied = dir + "/tsan.supp";
        copy_for_everyone(entry.substr(at + key.size(), end - at - key.size()), copied);
        entry.replace(at + key.size(), end - at - key.size(), copied);
      }
      environment.push_back(entry);
    }
  }
  ~other_account_helper() {
    if (dir.empty()) return;
    ::unlink((dir + "/sync_helper").c_str());
    ::unlink((dir + "/tsan.supp").c_str());
    ::rmdir(dir.c_str());
  }
};

inline const other_account_helper& helper_for_other_account() {
  static const other_account_helper h;
  return h;
}

// Starts the helper with `args` in a forked child that drops to the second
// account first; its pid.
inline pid_t spawn_helper_as_other_account(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  const other_account_helper& helper = helper_for_other_account();
  std::string path = helper.path;
  std::vector<char*> argv{path.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = helper.environment;
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherAccount) != 0 ||
        ::setuid(kOtherAccount) != 0)
      ::_exit(70);
    ::execve(path.c_str(), argv.data(), envp.data());
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
