// Failures that drop every log line are said once on standard error, naming
// the real cause: logging left off because its "Enable" value is not set,
// and a log file whose folder this account may not write. Each case runs in
// a child process of its own (the reports are once per process, and some
// cases run as the second account, uid 65534).
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <krcore/registry.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;
using krCore::logger;

constexpr uid_t kNobody = 65534;

class LoudFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmp[] = "/tmp/loud-XXXXXX";
    dir = ::mkdtemp(tmp);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    fs::create_directory(dir / "registry");
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs `body` in a child with the scratch registry, as `uid`, and
  // returns what it wrote on standard error.
  std::string run_child(uid_t uid, const std::function<void()>& body) {
    const fs::path err = dir / "stderr.txt";
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("KRCORE_REGISTRY_ROOT", (dir / "registry").c_str(), 1);
      ::setenv("KRCORE_COMMON_APPDATA", dir.c_str(), 1);
      ::unsetenv("KRCORE_DEBUG_OUTPUT");
      if (!std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
      if (uid != 0 && (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
        ::_exit(125);
      body();
      std::fflush(stderr);
      ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream in(err);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  static int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++n;
    return n;
  }

  fs::path dir;
};

// The logger configured by a key without "Enable": once, naming the value
// and the key, whether the key exists (root makes it) or cannot be made
// (another account). A key that turns logging off on purpose is quiet.
TEST_F(LoudFailures, LoggingOffForWantOfItsSettings) {
  const auto configure = [] {
    logger* log = krCore::singleton<logger>::instance();
    log->initialize(nullptr);
    krCore::LOG(std::wstring(L"dropped"));
    logger::close();
  };
  for (const uid_t uid : {uid_t{0}, kNobody}) {
    const std::string said = run_child(uid, configure);
    EXPECT_EQ(count(said, "logging is off"), 1) << said;
    EXPECT_NE(said.find("[Enable] of [HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantrel\\Logging]"),
              std::string::npos)
        << said;
  }
  const std::string quiet = run_child(0, [&] {
    HKEY key = nullptr;
    const DWORD off = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\Logging", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0 ||
        RegSetValueExW(key, L"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off),
                       sizeof off) != 0)
      ::_exit(124);
    RegCloseKey(key);
    configure();
  });
  EXPECT_EQ(quiet, "");
}

// A log folder this account may not write: once, for every dropped line,
// naming that folder and its cause rather than the file that is missing.
TEST_F(LoudFailures, LogFolderThatMayNotBeWritten) {
  const fs::path base = dir / "Logs" / "deep" / "agent";
  fs::create_directory(dir / "Logs");  // root's, 0755
  const std::string said = run_child(kNobody, [&] {
    logger* log = krCore::singleton<logger>::instance();
    log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
    for (int i = 0; i < 3; ++i) krCore::LOG(std::wstring(L"dropped"));
    logger::close();
  });
  EXPECT_EQ(count(said, "logger: "), 1) << said;
  EXPECT_NE(said.find("the log file [" + base.string() + ".0001.log.txt] cannot be opened"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("the folder [" + (dir / "Logs").string() +
                      "] may not be written by this account (Permission denied)"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find("No such file"), std::string::npos) << said;
}

}  // namespace
