// Subtree change notification where watching is hard: the account's inotify
// watches used up (limited in a private user namespace, so the machine's
// own limit is never touched) and sub-keys nested deeper than any path the
// kernel takes. A change is reported, or the request fails with a code;
// it is never missed in silence.
#include <fcntl.h>
#include <sched.h>

#include <krcore/foundation.h>

#include <fstream>

#include "registry_support.h"

namespace {

using namespace regtest;

constexpr DWORD kNotEnoughQuota = 1816;

// In a fork child: a user namespace of its own (root mapped to root) where
// the account may hold `watches` inotify watches. False when that fails.
bool limit_watches(int watches) {
  if (::unshare(CLONE_NEWUSER) != 0) return false;
  std::ofstream("/proc/self/uid_map") << "0 0 1\n";
  std::ofstream limit("/proc/sys/user/max_inotify_watches");
  limit << watches << '\n';
  limit.close();
  return static_cast<bool>(limit);
}

class NotifyLimitsTest : public RegistryTest {};

TEST_F(NotifyLimitsTest, ATreeThatCannotBeWatchedWholeIsRefusedOrReported) {
  // Too many sub-keys from the start: the request itself fails.
  HKEY parent = create(L"SOFTWARE\\Wide");
  for (int i = 0; i < 25; ++i) RegCloseKey(create((L"SOFTWARE\\Wide\\S" + std::to_wstring(i)).c_str()));
  RegCloseKey(parent);
  EXPECT_EQ(in_child([] {
              if (!limit_watches(20)) return 100;
              HKEY key = create(L"SOFTWARE\\Wide");
              krCore::manualresetevent event;
              return RegNotifyChangeKeyValue(key, 1, 0xF, event, 1) ==
                             static_cast<LSTATUS>(kNotEnoughQuota)
                         ? 0
                         : 1;
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
