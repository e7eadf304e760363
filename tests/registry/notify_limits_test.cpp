// Subtree change notification where watching is hard: the account's inotify
// watches used up (limited in a private user namespace, so the machine's
// own limit is never touched) and sub-keys nested deeper than any path the
// kernel takes. A change is reported, or the request fails with a code;
// it is never missed in silence.
#include <fcntl.h>
#include <sched.h>

#include <krcore/foundation.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <initializer_list>
#include <vector>

#include "logging/debug_output.h"

#include "registry_support.h"

namespace {

using namespace regtest;

constexpr DWORD kNotEnoughQuota = 1816;

// In a fork child: a user namespace of its own (root mapped to root) where
// the account's limit `name` (under /proc/sys/user) is `value`. False when
// that fails.
bool limit_account(const char* name, int value) {
  if (::unshare(CLONE_NEWUSER) != 0) return false;
  std::ofstream("/proc/self/uid_map") << "0 0 1\n";
  std::ofstream limit(std::string("/proc/sys/user/") + name);
  limit << value << '\n';
  limit.close();
  return static_cast<bool>(limit);
}

bool limit_watches(int watches) { return limit_account("max_inotify_watches", watches); }

// Whether a fork child of this process may make a user namespace: not
// where a runtime keeps threads of its own in the child (ThreadSanitizer's).
bool private_namespaces() {
  return in_child([] { return ::unshare(CLONE_NEWUSER) == 0 ? 0 : 1; }) == 0;
}

// In a fork child: true when a line on the debugger output holds every one
// of `parts`, after `fn` ran.
template <typename Fn>
bool said(Fn fn, std::initializer_list<std::wstring> parts) {
  std::vector<std::wstring> lines;
  krCore::detail::set_debug_output_hook([&](const std::wstring& text) { lines.push_back(text); });
  fn();
  krCore::detail::set_debug_output_hook({});
  return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) {
    return std::all_of(parts.begin(), parts.end(),
                       [&](const std::wstring& part) { return line.find(part) != line.npos; });
  });
}

class NotifyLimitsTest : public RegistryTest {};

TEST_F(NotifyLimitsTest, ATreeThatCannotBeWatchedWholeIsRefusedOrReported) {
  if (!private_namespaces()) GTEST_SKIP() << "no private user namespace in a child here";
  // Too many sub-keys from the start: the request itself fails.
  HKEY parent = create(L"SOFTWARE\\Wide");
  for (int i = 0; i < 25; ++i) RegCloseKey(create((L"SOFTWARE\\Wide\\S" + std::to_wstring(i)).c_str()));
  RegCloseKey(parent);
  EXPECT_EQ(in_child([] {
              if (!limit_watches(20)) return 100;
              HKEY key = create(L"SOFTWARE\\Wide");
              krCore::manualresetevent event;
              LSTATUS rc = 0;
              const bool told = said([&] { rc = RegNotifyChangeKeyValue(key, 1, 0xF, event, 1); },
                                     {L"/SOFTWARE/Wide]", L"fs.inotify.max_user_watches"});
              return rc == static_cast<LSTATUS>(kNotEnoughQuota) ? (told ? 0 : 2) : 1;
            }),
            0);

  // Sub-keys made while watched, past the limit: a change inside the last
  // one is signalled, or the next request says the tree is not watched.
  RegCloseKey(create(L"SOFTWARE\\Growing"));
  EXPECT_EQ(in_child([] {
              if (!limit_watches(5)) return 100;
              HKEY key = create(L"SOFTWARE\\Growing");
              krCore::manualresetevent event;
              if (RegNotifyChangeKeyValue(key, 1, 0xF, event, 1) != 0) return 101;
              HKEY last = nullptr;
              for (int i = 0; i < 8; ++i) {
                if (last) RegCloseKey(last);
                last = create((L"SOFTWARE\\Growing\\S" + std::to_wstring(i)).c_str());
              }
              // Until the creations have all been seen.
              for (;;) {
                const LSTATUS rc = RegNotifyChangeKeyValue(key, 1, 0xF, event, 1);
                if (rc == static_cast<LSTATUS>(kNotEnoughQuota)) return 0;
                if (rc != 0) return 102;
                if (WaitForSingleObject(event, 2000) != 0) break;
                event.reset();
              }
              if (set_dword(last, L"Changed", 1) != 0) return 103;
              return WaitForSingleObject(event, 10000) == 0 ? 0 : 1;
            }),
            0);
}

TEST_F(NotifyLimitsTest, NoInotifyInstanceLeftIsRefusedAndNamed) {
  if (!private_namespaces()) GTEST_SKIP() << "no private user namespace in a child here";
  RegCloseKey(create(L"SOFTWARE\\Watched"));
  EXPECT_EQ(in_child([] {
              if (!limit_account("max_inotify_instances", 0)) return 100;
              HKEY key = create(L"SOFTWARE\\Watched");
              krCore::manualresetevent event;
              LSTATUS rc = 0;
              const bool told = said([&] { rc = RegNotifyChangeKeyValue(key, 0, 0xF, event, 1); },
                                     {L"/SOFTWARE/Watched]", L"fs.inotify.max_user_instances"});
              return rc == static_cast<LSTATUS>(kNotEnoughQuota) ? (told ? 0 : 2) : 1;
            }),
            0);
}

// The kernel's queue of a watched key overflows while its process is
// stopped: the value change that came after the queue was full is lost to
// inotify, and only the overflow tells of it.
TEST_F(NotifyLimitsTest, AChangeLostInAQueueOverflowIsStillSignalled) {
  unsigned long queue = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue;
  if (queue == 0 || queue > (1ul << 20)) GTEST_SKIP() << "inotify queue of " << queue << " events";
  HKEY key = create(L"SOFTWARE\\Busy");
  RegCloseKey(create(L"SOFTWARE\\Busy\\A"));
  RegCloseKey(create(L"SOFTWARE\\Busy\\B"));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    HKEY own = create(L"SOFTWARE\\Busy");
    krCore::manualresetevent event;
    if (RegNotifyChangeKeyValue(own, 1, REG_NOTIFY_CHANGE_LAST_SET, event, 1) != 0) ::_exit(101);
    (void)!::write(ready[1], "r", 1);
    ::_exit(WaitForSingleObject(event, 30000) == 0 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  int status = 0;
  ASSERT_EQ(::kill(child, SIGSTOP), 0);
  ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  // Changes of sub-keys' attributes, which the request does not ask for,
  // fill the queue (alternating, so the kernel cannot merge them); then a
  // value changes.
  const std::string a = (root / "HKLM/SOFTWARE/Busy/A").string();
  const std::string b = (root / "HKLM/SOFTWARE/Busy/B").string();
  for (unsigned long i = 0; i < queue + 16; ++i)
    ASSERT_EQ(::chmod(i % 2 ? a.c_str() : b.c_str(), i % 4 < 2 ? 0755 : 0750), 0);
  ASSERT_EQ(set_dword(key, L"Lost", 1), 0);
  RegCloseKey(key);
  ASSERT_EQ(::kill(child, SIGCONT), 0);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(NotifyLimitsTest, AChangeFarBelowTheWatchedKeyIsSignalled) {
  // 25 levels of 200 characters: some 5,000 bytes of path below the key.
  std::wstring path = L"SOFTWARE\\Deep";
  for (int i = 0; i < 25; ++i) path += L"\\" + std::wstring(199, L'a' + i % 26) + L"x";
  HKEY bottom = create(path.c_str());
  HKEY top = create(L"SOFTWARE\\Deep");
  krCore::manualresetevent event;
  ASSERT_EQ(RegNotifyChangeKeyValue(top, 1, REG_NOTIFY_CHANGE_LAST_SET, event, 1), 0);
  ASSERT_EQ(set_dword(bottom, L"Deep", 1), 0);
  EXPECT_EQ(WaitForSingleObject(event, 10000), 0u);
  RegCloseKey(top);
  RegCloseKey(bottom);
}

}  // namespace
