// The machine key file: one key when many processes make it at once, a mode
// that lets every account read it whatever the umask, a blob of one account
// read by another, and a replaced key seen at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <krcore/protection.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/thrown.h"
#include "protection/key_dir.h"

namespace {

using krCore::securestring;
using protecttest::KeyTest;
using testsupport::thrown;

using MachineKey = KeyTest;

// Runs `body` in a child process and returns its exit status (-1 when it
// did not exit normally). The child never returns into the test runner.
template <class F>
int in_child(F body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_all(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

TEST_F(MachineKey, SixteenProcessesMakingTheKeyAtOnceEndWithOneKey) {
  constexpr int kProcesses = 16;
  int start[2];
  int results[2];
  ASSERT_EQ(pipe(start), 0);
  ASSERT_EQ(pipe(results), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      close(results[0]);
      char c;
      (void)read(start[0], &c, 1);  // returns when the parent closes the pipe
      try {
        const std::string line = securestring(L"race").to_encrypted_base64() + "\n";
        _exit(write(results[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 1);
      } catch (...) {
        _exit(2);
      }
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(results[1]);
  close(start[1]);  // all children start at once
  const std::string lines = read_all(results[0]);
  close(results[0]);
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  // One key file and no temporary file left behind.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"machine.key"});

  // Every child used that key.
  int blobs = 0;
  std::size_t begin = 0;
  for (std::size_t end; (end = lines.find('\n', begin)) != std::string::npos; begin = end + 1) {
    EXPECT_STREQ(securestring::from_encrypted_base64(lines.substr(begin, end - begin)).c_str(),
                 L"race");
    ++blobs;
  }
  EXPECT_EQ(blobs, kProcesses);
}

TEST_F(MachineKey, TheKeyFileIsReadableByEveryAccountUnderARestrictiveUmask) {
  krCore::detail::set_machine_key_file(dir.file("lib/machine.key"));
  const mode_t old = umask(077);
  securestring s(L"x");
  umask(old);
  struct stat st{};
  ASSERT_EQ(stat(dir.file("lib/machine.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_size, 32);
  ASSERT_EQ(stat(dir.file("lib").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(MachineKey, AReplacedKeyFileIsSeenWhenABlobNamesTheNewKey) {
  securestring old(L"old");  // loads the first key
  // The key is replaced; another process protects with the new one.
  std::filesystem::remove(dir.file("machine.key"));
  std::string line;
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  const int status = in_child([&] {
    krCore::detail::set_machine_key_file(dir.file("machine.key"));
    const std::string text = securestring(L"new").to_encrypted_base64();
    return write(pipefd[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
  });
  close(pipefd[1]);
  line = read_all(pipefd[0]);
  close(pipefd[0]);
  ASSERT_EQ(status, 0);
  EXPECT_STREQ(securestring::from_encrypted_base64(line).c_str(), L"new");
  // What the old key protected is now foreign.
  auto e = thrown<krException>([&] { old.c_str(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 0x8009000Bu);
}

TEST_F(MachineKey, ThreadsProtectAndReadTheirOwnObjectsAtOnce) {
  // The first use of the key happens on all threads together.
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&failures, t] {
      const std::wstring text = L"thread " + std::to_wstring(t);
      for (int i = 0; i < 200; ++i)
        if (securestring(text.c_str()).str() != text) ++failures;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(MachineKey, ABlobMadeAsRootIsReadByAnUnprivilegedAccount) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the account nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  const std::string base64 = securestring(L"shared").to_encrypted_base64();
  const std::string unmade = dir.file("unmade.key");

  const int status = in_child([&] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 10;
    if (securestring::from_encrypted_base64(base64).str() != L"shared") return 11;
    if (securestring(L"again").str() != L"again") return 12;
    // An account that may not write the key's directory cannot make a key.
    krCore::detail::set_machine_key_file(unmade);
    auto e = thrown<krException>([] { securestring s(L"x"); });
    return e && e->code() == 5 ? 0 : 13;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
