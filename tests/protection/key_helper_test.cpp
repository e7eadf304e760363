// The installed machine key is root's alone: another account protects and
// unprotects through the set-user-ID key helper, reads what root protected
// and the other way round, and never reads the key's bytes; a helper that is
// missing is a clear refusal naming the key and the helper; the helper
// answers a malformed or oversized request with a code before allocating.
//
// The key's installed place and the helper's set-user-ID copy are made on a
// tmpfs over /var/lib in a private mount namespace, so the machine's own key
// is never touched and the test does not depend on where the tree lives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <krcore/protection.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/in_child.h"
#include "foundation/thrown.h"
#include "logging/log_capture.h"
#include "protection/linux/key_helper.h"
#include "protection/machine_key.h"

namespace {

using krCore::securestring;
using testsupport::in_child;
using testsupport::thrown;

constexpr char kKey[] = "/var/lib/krcore/machine.key";
constexpr char kHelper[] = "/var/lib/helper/krkeyhelper";
constexpr int kNoNamespace = 77;

// In the calling (child) process: /var/lib a fresh tmpfs holding a
// set-user-ID root copy of the helper, which the library then runs, and the
// key at its installed place. False where no mount namespace can be made.
bool install_privately() {
  namespace fs = std::filesystem;
  if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755,size=128m") != 0)
    return false;
  std::error_code ec;
  fs::create_directories("/var/lib/helper", ec);
  fs::copy_file(KRKEYHELPER_PATH, kHelper, ec);
  if (ec || ::chmod("/var/lib/helper", 0755) != 0 || ::chmod(kHelper, 04755) != 0) return false;
  ::setenv("KRCORE_KEY_HELPER", kHelper, 1);
  ::unsetenv("KRCORE_MACHINE_KEY_FILE");
  krCore::detail::set_machine_key_file("");
  return true;
}

bool become(const passwd& account) {
  return setgroups(0, nullptr) == 0 && setgid(account.pw_gid) == 0 && setuid(account.pw_uid) == 0;
}

TEST(KeyHelper, AnotherAccountUsesRootsKeyThroughTheHelperAndNeverReadsIt) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the account nobody";
  const passwd account = *nobody;
  const int status = in_child([&] {
    if (!install_privately()) return kNoNamespace;
    const std::string roots = securestring(L"root's secret").to_encrypted_base64();
    struct stat st {};
    if (::stat(kKey, &st) != 0 || st.st_uid != 0 || (st.st_mode & 07777) != 0600) return 2;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 3;
    const int code = in_child([&] {
      if (!become(account)) return 10;
      krCore::detail::set_machine_key_file("");  // forget the key root loaded
      if (::open(kKey, O_RDONLY) >= 0 || errno != EACCES) return 11;
      if (securestring::from_encrypted_base64(roots).str() != L"root's secret") return 12;
      const std::string mine = securestring(L"nobody's secret").to_encrypted_base64();
      if (securestring::from_encrypted_base64(mine).str() != L"nobody's secret") return 13;
      // A changed byte fails the tag in the helper, and the code comes back.
      std::string forged = roots;
      forged[forged.size() / 2] = forged[forged.size() / 2] == 'A' ? 'B' : 'A';
      auto e = thrown<krException>([&] { (void)securestring::from_encrypted_base64(forged).str(); });
      if (!e || e->code() != 0x80090005u) return 14;
      // A daemon that closed its standard descriptors still reaches it.
      ::close(0);
      ::close(1);
      if (securestring::from_encrypted_base64(mine).str() != L"nobody's secret") return 18;
      // Without its helper this account is refused, and the line says why.
      ::setenv("KRCORE_KEY_HELPER", "/var/lib/helper/missing", 1);
      const logtest::debug_capture capture;
      e = thrown<krException>([] { securestring s(L"x"); });
      if (!e || e->code() != 5) return 15;
      bool said = false;
      for (const std::wstring& text : capture.texts())
        said = said || text.find(L"machine key [/var/lib/krcore/machine.key] is readable by root "
                                 L"alone, and its helper [/var/lib/helper/missing] is missing") == 0;
      if (!said) return 16;
      return ::write(pair[1], mine.data(), mine.size()) == static_cast<ssize_t>(mine.size()) ? 0
                                                                                            : 17;
    });
    if (code != 0) return code;
    ::close(pair[1]);
    char buffer[512];
    const ssize_t n = ::read(pair[0], buffer, sizeof buffer);
    if (n <= 0) return 4;
    return securestring::from_encrypted_base64(std::string(buffer, static_cast<std::size_t>(n)))
                       .str() == L"nobody's secret"
               ? 0
               : 5;
  });
  if (status == kNoNamespace) GTEST_SKIP() << "no private mount namespace can be made here";
  EXPECT_EQ(status, 0);
}

// Runs the helper on `request` and returns the code it answers, or -1 for
// no well-formed answer.
long helper_answer(const std::string& request) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    ::dup2(pair[1], 0);
    ::dup2(pair[1], 1);
    ::execl(KRKEYHELPER_PATH, KRKEYHELPER_PATH, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pair[1]);
  (void)!::write(pair[0], request.data(), request.size());
  ::shutdown(pair[0], SHUT_WR);
  unsigned char answer[krCore::detail::kHelperAnswerHeader];
  std::size_t got = 0;
  while (got < sizeof answer) {
    const ssize_t n = ::read(pair[0], answer + got, sizeof answer - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(pair[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got != sizeof answer || std::memcmp(answer, "KRKH", 4) != 0) return -1;
  return static_cast<long>(krCore::detail::get_le32(answer + 4));
}

std::string request(char op, std::uint32_t entropy, std::uint32_t data, std::size_t body) {
  std::string r("KRKH\x01", 5);
  r += op;
  r += std::string(2, '\0');
  for (const std::uint32_t v : {entropy, data})
    for (int i = 0; i < 4; ++i) r += static_cast<char>(v >> (8 * i));
  return r + std::string(body, 'x');
}

TEST(KeyHelper, AMalformedOrOversizedRequestIsAnsweredWithACode) {
  if (geteuid() != 0) GTEST_SKIP() << "the helper serves only with root's rights";
  EXPECT_EQ(helper_answer("KRKH"), 13);                                  // cut short
  EXPECT_EQ(helper_answer(request('X', 0, 4, 4)), 13);                   // no such operation
  EXPECT_EQ(helper_answer(request('U', 0, 100, 10)), 13);                // fewer bytes than said
  EXPECT_EQ(helper_answer(request('U', 0, 0xFFFFFFFFu, 0)), 8);          // over the bound
  EXPECT_EQ(helper_answer(request('P', 0x7FFFFFFFu, 4, 4)), 8);
  EXPECT_EQ(helper_answer(request('U', 0, 8, 8)), 13);                   // not a blob
}

}  // namespace
