// The machine key file: one key when many processes make it at once, a mode
// that keeps every other account out whatever the umask, a replaced key used
// at once, a lost key file written back
// from memory and never made anew, and key files that must be refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <krcore/protection.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/in_child.h"
#include "foundation/thrown.h"
#include "logging/log_capture.h"
#include "protection/key_dir.h"

namespace {

using krCore::securestring;
using protecttest::KeyTest;
using testsupport::in_child;
using testsupport::thrown;

using MachineKey = KeyTest;

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
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"machine.key", "machine.key.made"}));

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

TEST_F(MachineKey, TheKeyFileIsItsOwnersAloneAndItsFolderOpenWhateverTheUmask) {
  krCore::detail::set_machine_key_file(dir.file("lib/machine.key"));
  const mode_t old = umask(077);
  securestring s(L"x");
  umask(old);
  struct stat st{};
  ASSERT_EQ(stat(dir.file("lib/machine.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  ASSERT_EQ(stat(dir.file("lib").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// Writes 32 new random bytes to `path` the way an administrator rotates a
// key: a complete file renamed over the old one.
void replace_key(const std::string& path) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  unsigned char key[32];
  ASSERT_EQ(getentropy(key, sizeof key), 0);
  ASSERT_EQ(write(fd, key, sizeof key), 32);
  close(fd);
  ASSERT_EQ(rename(temp.c_str(), path.c_str()), 0);
}

// Reads `base64` in a fresh process state (nothing loaded): 0 when it gives
// `expected`.
int read_elsewhere(const std::string& key_file, const std::string& base64, const wchar_t* expected) {
  return in_child([&] {
    krCore::detail::set_machine_key_file(key_file);
    return securestring::from_encrypted_base64(base64).str() == expected ? 0 : 1;
  });
}

TEST_F(MachineKey, AReplacedKeyFileIsUsedAtOnce) {
  securestring old(L"old");  // loads the first key
  replace_key(dir.file("machine.key"));
  // Made right after the replacement, the blob is under the new key: another
  // process that reads the file can read it.
  const std::string made_now = securestring(L"new").to_encrypted_base64();
  EXPECT_EQ(read_elsewhere(dir.file("machine.key"), made_now, L"new"), 0);
  // What the old key protected is now foreign.
  auto e = thrown<krException>([&] { old.c_str(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 0x8009000Bu);
}

TEST_F(MachineKey, ADeletedKeyFileIsWrittenBackFromMemory) {
  const std::string file = dir.file("machine.key");
  const std::string before = securestring(L"kept").to_encrypted_base64();
  const int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::string key = read_all(fd);
  close(fd);
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  securestring touched(L"x");  // the mode change is seen; the key stays
  std::filesystem::remove(file);

  // Reading and protecting go on with the loaded key, and the file is back
  // with the same bytes and mode.
  EXPECT_STREQ(securestring::from_encrypted_base64(before).c_str(), L"kept");
  const std::string after = securestring(L"later").to_encrypted_base64();
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, geteuid());
  const int again = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(again, 0);
  EXPECT_EQ(read_all(again), key);
  close(again);
  EXPECT_EQ(read_elsewhere(file, before, L"kept"), 0);
  EXPECT_EQ(read_elsewhere(file, after, L"later"), 0);
}

TEST_F(MachineKey, AMissingKeyIsNotMadeAgainWhereOneWasMade) {
  const std::string file = dir.file("machine.key");
  securestring first(L"first");
  // A process that never loaded the key finds it gone.
  krCore::detail::set_machine_key_file(file);
  std::filesystem::remove(file);
  auto e = thrown<krException>([] { securestring s(L"x"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 0x80090016u);
  EXPECT_FALSE(std::filesystem::exists(file));
  // Removing the marker is the administrator's consent to a new key.
  std::filesystem::remove(file + ".made");
  EXPECT_STREQ(securestring(L"fresh").c_str(), L"fresh");
  EXPECT_TRUE(std::filesystem::exists(file));
}

// A FIFO is refused without blocking (the child's alarm ends a hang), and
// so are a link, a key writable by others and one owned by another account.
TEST_F(MachineKey, KeyFilesOfTheWrongKindOwnerOrModeAreRefused) {
  // The code protecting with key file `name` fails with (0: none), or -1
  // when the child did not end by itself.
  const auto code_for = [&](const std::string& name) -> long {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -2;
    const int status = in_child([&] {
      alarm(60);
      krCore::detail::set_machine_key_file(dir.file(name));
      auto e = thrown<krException>([] { securestring s(L"x"); });
      const unsigned long code = e ? e->code() : 0;
      return write(pipefd[1], &code, sizeof code) == sizeof code ? 0 : 1;
    });
    close(pipefd[1]);
    unsigned long code = 0;
    const bool got = read(pipefd[0], &code, sizeof code) == sizeof code;
    close(pipefd[0]);
    return status == 0 && got ? static_cast<long>(code) : -1;
  };
  ASSERT_EQ(mkfifo(dir.file("fifo.key").c_str(), 0644), 0);
  EXPECT_EQ(code_for("fifo.key"), 13);

  securestring s(L"makes machine.key");
  ASSERT_EQ(symlink(dir.file("machine.key").c_str(), dir.file("link.key").c_str()), 0);
  EXPECT_EQ(code_for("link.key"), 1920);

  std::filesystem::copy_file(dir.file("machine.key"), dir.file("loose.key"));
  ASSERT_EQ(chmod(dir.file("loose.key").c_str(), 0666), 0);
  EXPECT_EQ(code_for("loose.key"), 5);
  ASSERT_EQ(chmod(dir.file("loose.key").c_str(), 0664), 0);
  EXPECT_EQ(code_for("loose.key"), 5);
  ASSERT_EQ(chmod(dir.file("loose.key").c_str(), 0600), 0);
  EXPECT_EQ(code_for("loose.key"), 0);

  const passwd* nobody = getpwnam("nobody");
  if (geteuid() == 0 && nobody) {
    std::filesystem::copy_file(dir.file("machine.key"), dir.file("foreign.key"));
    ASSERT_EQ(chown(dir.file("foreign.key").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(code_for("foreign.key"), 5);
  }
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

TEST_F(MachineKey, AnAccountThatCannotMakeTheKeyIsToldWhichFolderStopsIt) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the account nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  const std::string unmade = dir.file("unmade.key");
  const std::string unmade_below = dir.file("below/unmade.key");
  const std::string folder = std::filesystem::path(unmade).parent_path().string();

  const int status = in_child([&] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 10;
    // An account that may not write the key's directory cannot make a key;
    // one missing below such a folder is not made either, and the line says
    // which folder is at fault, not merely that the file does not exist.
    const logtest::debug_capture capture;
    krCore::detail::set_machine_key_file(unmade);
    auto e = thrown<krException>([] { securestring s(L"x"); });
    if (!e || e->code() != 5) return 13;
    krCore::detail::set_machine_key_file(unmade_below);
    e = thrown<krException>([] { securestring s(L"x"); });
    if (!e || e->code() != 2) return 14;
    const std::wstring expected = L"machine key [" + krCore::convertstringtowstring(unmade_below) +
                                  L"] is missing and cannot be made (error 2: the folder [" +
                                  krCore::convertstringtowstring(folder) +
                                  L"] may not be written by this account (Permission denied), so "
                                  L"the folders below it cannot be made)";
    for (const std::wstring& text : capture.texts())
      if (text.find(expected) == 0) return 0;
    return 15;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
