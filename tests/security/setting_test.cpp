// The environment settings of the library (the code-signing roots, the
// machine key file, the settings store, the debugger output, the system
// log's socket, the application-data folder) steer an ordinary program, and
// are ignored by a program the kernel starts with raised rights: a setuid
// root copy of a small program, started as another account with every
// setting pointing at that account's own files.
#include <fcntl.h>
#include <krcore/registry.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "security_support.h"

namespace {

using namespace sectest;

// The probe's output lines as name=value pairs, from a run as `uid` with
// exactly the environment `env`.
std::map<std::string, std::string> run_probe(const fs::path& program, uid_t uid,
                                             const std::vector<std::string>& env) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::dup2(out[1], STDOUT_FILENO) < 0 || ::setgroups(0, nullptr) != 0 ||
        ::setgid(uid == 0 ? 0 : 65534) != 0 || ::setuid(uid) != 0)
      ::_exit(126);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "probe status " << status;
  std::map<std::string, std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) lines[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return lines;
}

off_t size_of(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(EnvironmentSettings, HonouredByAnOrdinaryProgramIgnoredBySetuidRoot) {
  SKIP_UNLESS_ROOT();
  const fs::path dir = fs::temp_directory_path() / fs::unique_path("qmcore-setuid-%%%%%%%%");
  fs::create_directories(dir);
  // The setuid copy goes with the folder whatever ends the test.
  const std::unique_ptr<const fs::path, void (*)(const fs::path*)> cleanup(&dir, [](const fs::path* d) {
    boost::system::error_code ec;
    fs::remove_all(*d, ec);
  });
  fs::permissions(dir, fs::perms(0755));
  const fs::path probe = dir / "probe";
  fs::copy_file(SETTING_PROBE_PATH, probe);
  ASSERT_EQ(::chown(probe.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(probe.c_str(), 04755), 0);

  // The other account's own folder, with a settings store that holds the
  // probe key; and a file that only root may write.
  const fs::path theirs = dir / "theirs";
  fs::create_directories(theirs / "roots");
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  const fs::path store = theirs / "registry";
  ASSERT_EQ(::setenv("KRCORE_REGISTRY_ROOT", store.c_str(), 1), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QmcoreSettingProbe", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  RegCloseKey(key);
  ::unsetenv("KRCORE_REGISTRY_ROOT");
  const fs::path root_only = dir / "root-only.log";
  const int fd = ::open(root_only.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);

  const std::vector<std::string> env = {
      "KRCORE_CODESIGN_ROOTS=" + (theirs / "roots").string(),
      "KRCORE_MACHINE_KEY_FILE=" + (theirs / "machine.key").string(),
      "KRCORE_REGISTRY_ROOT=" + store.string(),
      "KRCORE_DEBUG_OUTPUT=" + root_only.string(),
      "KRCORE_SYSLOG_SOCKET=" + (theirs / "log").string(),
      "KRCORE_COMMON_APPDATA=" + theirs.string(),
      // The leak checker cannot stop the threads of a process that is not
      // dumpable, as a setuid one is not.
      "ASAN_OPTIONS=detect_leaks=0"};

  // Root running it gains nothing from the bit: its settings count.
  std::map<std::string, std::string> seen = run_probe(probe, 0, env);
  EXPECT_EQ(seen["roots"], (theirs / "roots").string());
  EXPECT_EQ(seen["key"], (theirs / "machine.key").string());
  EXPECT_EQ(seen["syslog"], (theirs / "log").string());
  EXPECT_EQ(seen["appdata"], theirs.string());
  EXPECT_EQ(seen["probe-key"], "0");
  const off_t written = size_of(root_only);
  EXPECT_GT(written, 0);

  // Started by another account, it runs as root and reads none of them.
  seen = run_probe(probe, 65534, env);
  EXPECT_EQ(seen["roots"], "/etc/krcore/codesign-roots");
  EXPECT_EQ(seen["key"], "/var/lib/krcore/machine.key");
  EXPECT_EQ(seen["syslog"], "/dev/log");
  EXPECT_EQ(seen["appdata"].find(theirs.string()), std::string::npos) << seen["appdata"];
  EXPECT_NE(seen["probe-key"], "0");
  EXPECT_EQ(size_of(root_only), written);
}

}  // namespace
