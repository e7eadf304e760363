// Test support for the security family: a private system root with its own
// configuration files, a recorder of log entries, children that run as
// another account, and real test accounts made with useradd and groupadd.
#pragma once

#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <krcore/security.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/utf.h"
#include "security/accounts.h"
#include "security/system_files.h"

namespace sectest {

namespace fs = boost::filesystem;

// A folder that stands in for "/" while it lives; the machine facts are
// collected anew against it on demand.
class system_root {
 public:
  system_root() {
    _path = fs::temp_directory_path() / fs::unique_path("qmcore-sysroot-%%%%%%%%");
    fs::create_directories(_path);
    fs::permissions(_path, fs::perms(0755));
    write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
    krCore::detail::set_system_root(_path.string());
    krCore::globals::close();
  }
  ~system_root() {
    krCore::detail::set_system_root("");
    krCore::detail::set_registry_dword_reader({});
    krCore::globals::close();
    boost::system::error_code ec;
    fs::remove_all(_path, ec);
  }
  void write(const std::string& relative, const std::string& content) const {
    const fs::path file = _path / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file.string(), std::ios::binary | std::ios::trunc) << content;
  }
  fs::path path() const { return _path; }

  // The facts, collected against the files written so far.
  krCore::globals* facts() const {
    krCore::globals::close();
    return krCore::singleton<krCore::globals>::instance();
  }

 private:
  fs::path _path;
};

inline std::wstring property(krCore::globals* g, const wchar_t* key) {
  std::wstring value = L"<absent>";
  g->getproperty(key, value);
  return value;
}

// Records every entry the logger writes, at every level, while it lives.
class log_recorder {
 public:
  log_recorder() {
    krCore::logger::close();
    krCore::logger* log = krCore::singleton<krCore::logger>::instance();
    log->set_write_message_func([this](const wchar_t* message, krCore::logger::log_levels) {
      std::lock_guard<std::mutex> lock(_mutex);
      _lines.push_back(message);
    });
    log->initialize(0, krCore::logger::log_verbose, 0, 0, L"/tmp/qmcore-security-test");
    clear();
  }
  ~log_recorder() { krCore::logger::close(); }
  void clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _lines.clear();
  }
  // True when some entry contains `text`.
  bool has(const std::wstring& text) const {
    std::lock_guard<std::mutex> lock(_mutex);
    for (const std::wstring& line : _lines)
      if (line.find(text) != std::wstring::npos) return true;
    return false;
  }
  size_t count() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines.size();
  }

 private:
  mutable std::mutex _mutex;
  std::vector<std::wstring> _lines;
};

// Runs `body` in a child process that has switched to `uid`/`gid` with the
// supplementary `groups`; returns the body's result (its exit code), or -1
// when the child could not switch or ended otherwise.
inline int run_as(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                  const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 ||
        ::setuid(uid) != 0)
      ::_exit(255);
    ::_exit(body());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

inline bool can_switch_accounts() { return ::geteuid() == 0; }

#define SKIP_UNLESS_ROOT() \
  if (!::sectest::can_switch_accounts()) GTEST_SKIP() << "needs root to switch accounts"

inline int shell(const std::string& command) { return std::system(command.c_str()); }

// Output of a command.
inline std::string capture(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  ::pclose(p);
  return out;
}

// A user and a group made for the tests, named after the test process so
// that test processes running side by side never share or remove each
// other's accounts; removed when the process's tests end.
struct test_accounts {
  static const std::string& user() {
    static const std::string name = "krsecu" + std::to_string(::getpid());
    return name;
  }
  static const std::string& group() {
    static const std::string name = "krsecg" + std::to_string(::getpid());
    return name;
  }
  static std::wstring wuser() { return krCore::detail::wide_from_utf8(user()); }
  static std::wstring wgroup() { return krCore::detail::wide_from_utf8(group()); }
  static uid_t uid() { return ::getpwnam(user().c_str())->pw_uid; }
  static gid_t gid() { return ::getgrnam(group().c_str())->gr_gid; }
  static bool available() { return ::getpwnam(user().c_str()) && ::getgrnam(group().c_str()); }
};

class accounts_environment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!can_switch_accounts()) return;
    remove_stale_accounts();
    // The account tools lock the account files; a process beside this one
    // may hold them for a moment.
    for (int attempt = 0; attempt < 20 && !::getgrnam(test_accounts::group().c_str()); ++attempt)
      if (shell("groupadd " + test_accounts::group() + " 2>/dev/null") != 0) ::usleep(100000);
    for (int attempt = 0; attempt < 20 && !::getpwnam(test_accounts::user().c_str()); ++attempt)
      if (shell("useradd -M -N -g nogroup -s /usr/sbin/nologin -c 'Test User,,,' " +
                test_accounts::user() + " 2>/dev/null") != 0)
        ::usleep(100000);
  }
  // Accounts of test processes that ended without their tear-down.
  static void remove_stale_accounts() {
    std::ifstream accounts("/etc/group");
    std::string line;
    while (std::getline(accounts, line)) {
      if (line.rfind("krsecg", 0) != 0) continue;
      const std::string pid = line.substr(6, line.find(':') - 6);
      if (pid.empty() || ::kill(std::atoi(pid.c_str()), 0) == 0) continue;
      shell("userdel krsecu" + pid + " >/dev/null 2>&1");
      shell("groupdel krsecg" + pid + " >/dev/null 2>&1");
    }
  }
  void TearDown() override {
    for (int attempt = 0; attempt < 20 && ::getpwnam(test_accounts::user().c_str()); ++attempt)
      if (shell("userdel " + test_accounts::user() + " >/dev/null 2>&1") != 0) ::usleep(100000);
    for (int attempt = 0; attempt < 20 && ::getgrnam(test_accounts::group().c_str()); ++attempt)
      if (shell("groupdel " + test_accounts::group() + " >/dev/null 2>&1") != 0) ::usleep(100000);
  }
};

#define SKIP_UNLESS_TEST_ACCOUNTS() \
  if (!::sectest::test_accounts::available()) GTEST_SKIP() << "test accounts could not be made"

// The code of a w32_exception thrown by `f`, 0 when none is thrown.
template <class F>
unsigned long w32_code(F f) {
  try {
    f();
  } catch (const w32_exception& e) {
    return e.code;
  }
  return 0;
}

template <class F>
unsigned long kr_code(F f) {
  try {
    f();
  } catch (const krException& e) {
    return e.code();
  }
  return 0;
}

}  // namespace sectest
