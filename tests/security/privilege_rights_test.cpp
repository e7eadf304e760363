// Privileges as capabilities of the calling thread, and account rights in
// the policy store: grants, withdrawals, their failures, the store's lock,
// and the name rules of domain controllers.
#include <sys/capability.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <thread>

#include "security_support.h"
#include "threading/native_thread.h"

namespace {

using namespace sectest;
using krCore::auto_privilege;
using krCore::lsa;

// The calling thread's effective and permitted sets as bit masks.
std::pair<std::uint64_t, std::uint64_t> thread_caps() {
  cap_t caps = cap_get_proc();
  std::uint64_t eff = 0, prm = 0;
  for (int c = 0; c <= CAP_LAST_CAP; ++c) {
    cap_flag_value_t v;
    if (cap_get_flag(caps, c, CAP_EFFECTIVE, &v) == 0 && v) eff |= std::uint64_t{1} << c;
    if (cap_get_flag(caps, c, CAP_PERMITTED, &v) == 0 && v) prm |= std::uint64_t{1} << c;
  }
  cap_free(caps);
  return {eff, prm};
}

void drop(int cap, bool permitted_too) {
  cap_t caps = cap_get_proc();
  cap_value_t list[] = {cap};
  cap_set_flag(caps, CAP_EFFECTIVE, 1, list, CAP_CLEAR);
  if (permitted_too) cap_set_flag(caps, CAP_PERMITTED, 1, list, CAP_CLEAR);
  cap_set_proc(caps);
  cap_free(caps);
}

constexpr std::uint64_t bit(int c) { return std::uint64_t{1} << c; }

bool effective_in(cap_t caps, int cap) {
  cap_flag_value_t v = CAP_CLEAR;
  return cap_get_flag(caps, cap, CAP_EFFECTIVE, &v) == 0 && v == CAP_SET;
}

TEST(Privileges, RaiseAndLowerExactlyWhatWasRaisedOnThisThreadOnly) {
  SKIP_UNLESS_ROOT();
  cap_t saved = cap_get_proc();
  const pid_t main_tid = ::gettid();
  drop(CAP_CHOWN, false);
  const auto main_before = thread_caps();
  std::thread([&] {
    // CAP_DAC_OVERRIDE stays effective: the restore privilege must not drop it.
    drop(CAP_FOWNER, false);
    const auto before = thread_caps();
    {
      auto_privilege restore(L"SeRestorePrivilege");
      EXPECT_EQ(thread_caps().first, before.first | bit(CAP_FOWNER) | bit(CAP_CHOWN));
      cap_t other = cap_get_pid(main_tid);
      EXPECT_FALSE(effective_in(other, CAP_CHOWN)) << "raised on another thread";
      cap_free(other);
    }
    EXPECT_EQ(thread_caps(), before);
    // Already effective: nothing to raise, and nothing dropped afterwards.
    { auto_privilege debug(L"SeDebugPrivilege"); }
    EXPECT_EQ(thread_caps(), before);
  }).join();
  EXPECT_EQ(thread_caps(), main_before);
  cap_set_proc(saved);
  cap_free(saved);
}

TEST(Privileges, NamesIgnoreCaseAndPrivilegesNotHeldReport1300) {
  SKIP_UNLESS_ROOT();
  log_recorder log;
  std::thread([&] {
    drop(CAP_SYS_PTRACE, false);
    drop(CAP_SYS_ADMIN, false);
    const auto before = thread_caps();
    {
      auto_privilege debug(L"sedebugprivilege");
      EXPECT_EQ(thread_caps().first, before.first | bit(CAP_SYS_PTRACE));
    }
    {
      auto_privilege tcb(L"SETCBPRIVILEGE");
      EXPECT_EQ(thread_caps().first, before.first | bit(CAP_SYS_ADMIN));
    }
    EXPECT_EQ(thread_caps(), before);
    { auto_privilege unknown(L"SeNoSuchPrivilege"); EXPECT_EQ(GetLastError(), 1313u); }
    { auto_privilege link(L"SeCreateSymbolicLinkPrivilege"); EXPECT_EQ(GetLastError(), 1300u); }
    EXPECT_EQ(thread_caps(), before);

    // A capability outside the permitted set: the privilege is not held,
    // which is no failure to log (every ordinary account meets it).
    drop(CAP_SYS_TIME, true);
    const auto limited = thread_caps();
    {
      auto_privilege time(L"SeSystemtimePrivilege", true);
      EXPECT_EQ(GetLastError(), 1300u);
      EXPECT_EQ(thread_caps(), limited);
    }
    EXPECT_EQ(thread_caps(), limited);
    EXPECT_EQ(log.count(), 0u);
    // set() raises and lowers again on the same object.
    drop(CAP_SYS_NICE, false);
    const auto low = thread_caps();
    auto_privilege nice(L"SeIncreaseBasePriorityPrivilege");
    EXPECT_TRUE(thread_caps().first & bit(CAP_SYS_NICE));
    nice.set(false);
    EXPECT_EQ(thread_caps(), low);
    nice.set(false);
    EXPECT_EQ(thread_caps(), low);
  }).join();
}

// Switched off from another thread, the object lowers on the thread that
// raised, and a thread started inside the scope does not keep what it
// copied. Run in a child process, whose only threads are the ones made here.
TEST(Privileges, LoweredWhereRaisedAndInThreadsStartedInside) {
  SKIP_UNLESS_ROOT();
#if defined(__SANITIZE_THREAD__)
  // The thread checker holds a signal back until the thread reaches one of
  // its own interception points; a thread parked in the library's futex
  // wait never does, so the lowering request is not seen in time there.
  GTEST_SKIP() << "signals to a thread in a raw futex wait are deferred by the thread checker";
#endif
  const int bits = run_as(0, 0, {}, [] {
    drop(CAP_SYS_NICE, false);  // the threads below start without it
    std::unique_ptr<auto_privilege> scope;
    krCore::manualresetevent raised, lowered, inner_started;
    std::atomic<std::uint64_t> inner_during{0}, inner_after{0}, worker_after{0};
    std::thread worker([&] {
      scope = std::make_unique<auto_privilege>(L"SeIncreaseBasePriorityPrivilege");
      std::thread inner([&] {
        inner_during = thread_caps().first;
        inner_started.signal();
        WaitForSingleObject(lowered, 30000);
        inner_after = thread_caps().first;
      });
      WaitForSingleObject(inner_started, 30000);
      raised.signal();
      WaitForSingleObject(lowered, 30000);
      worker_after = thread_caps().first;
      inner.join();
    });
    if (WaitForSingleObject(raised, 30000) != 0) return 64;
    scope.reset();  // here, not on the raising thread
    const bool here = thread_caps().first & bit(CAP_SYS_NICE);
    lowered.signal();
    worker.join();
    return ((inner_during & bit(CAP_SYS_NICE)) ? 1 : 0) | ((worker_after & bit(CAP_SYS_NICE)) ? 2 : 0) |
           ((inner_after & bit(CAP_SYS_NICE)) ? 4 : 0) | (here ? 8 : 0);
  });
  EXPECT_EQ(bits, 1);  // the inner thread had it in the scope; nobody keeps it
}

// The library's own threads never copy a privilege switched on for their
// creator's scope, whatever they do with signals afterwards; a thread of the
// host's that copied it and blocks every signal cannot be asked to lower it,
// which the end of the scope reports (156) at once instead of waiting.
unsigned record_caps_and_wait(void* p) {
  auto* seen = static_cast<std::pair<std::atomic<std::uint64_t>, krCore::manualresetevent>*>(p);
  seen->first = thread_caps().first | bit(63);  // bit 63: recorded
  WaitForSingleObject(seen->second, 30000);
  return 0;
}

TEST(Privileges, LibraryThreadsNeverHoldAScopesPrivilegeAndDeafThreadsAreReported) {
#if defined(__SANITIZE_THREAD__)
  // The checker starts a background thread of its own in every forked
  // child, before the child lowers anything: it holds all of root's
  // capabilities, so a raise is never the scope's alone and, by design,
  // nothing is set aside for new threads.
  GTEST_SKIP() << "the thread sanitizer's thread in the child holds the capability already";
#endif
  SKIP_UNLESS_ROOT();
  const int bits = run_as(0, 0, {}, [] {
    drop(CAP_SYS_NICE, false);
    std::pair<std::atomic<std::uint64_t>, krCore::manualresetevent> library;
    krCore::manualresetevent deaf_started, release;
    std::atomic<std::uint64_t> deaf_after{0};
    HANDLE thread = nullptr;
    std::thread deaf;
    unsigned long error = 0;
    {
      auto_privilege nice(L"SeIncreaseBasePriorityPrivilege");
      DWORD id = 0;
      thread = krCore::detail::create_thread_gated(&record_caps_and_wait, &library, &id);
      if (!thread || !krCore::detail::resume_thread(thread)) return 64;
      deaf = std::thread([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, nullptr);
        deaf_started.signal();
        WaitForSingleObject(release, 30000);
        deaf_after = thread_caps().first;
      });
      if (WaitForSingleObject(deaf_started, 30000) != 0) return 65;
      while (library.first.load() == 0) std::this_thread::yield();
      nice.set(false);
      error = GetLastError();
    }
    const bool here = thread_caps().first & bit(CAP_SYS_NICE);
    release.signal();
    library.second.signal();
    deaf.join();
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    return ((library.first & bit(CAP_SYS_NICE)) ? 1 : 0) |
           ((deaf_after & bit(CAP_SYS_NICE)) ? 2 : 0) | (error == 156 ? 0 : 4) | (here ? 8 : 0);
  });
  EXPECT_EQ(bits, 2);  // only the deaf thread keeps it, and that was reported
}

std::string store(const system_root& root) {
  std::string content;
  krCore::detail::read_text_file((root.path() / "var/lib/krcore/accountrights").string(), content);
  return content;
}

TEST(AccountRights, GrantListWithdrawAndTheirFailures) {
  SKIP_UNLESS_TEST_ACCOUNTS();
  system_root root;
  const std::wstring user = test_accounts::wuser();
  const std::string sid = "S-1-22-1-" + std::to_string(test_accounts::uid());
  lsa policy;
  EXPECT_EQ(kr_code([&] { policy.modifyrightforuser(user, L"SeServiceLogonRight", true); }), 6u);
  policy.openfullaccess();
  policy.modifyrightforuser(user, L"SeServiceLogonRight", true);
  policy.modifyrightforuser(user, L"sebackupprivilege", true);  // names compare without case
  policy.modifyrightforuser(user, L"SeServiceLogonRight", true);  // held already
  policy.modifyrightforuser(L"LocalSystem", L"SeTcbPrivilege", true);
  EXPECT_EQ(policy.enumerateaccountrights(user),
            (std::vector<std::wstring>{L"SeServiceLogonRight", L"SeBackupPrivilege"}));
  EXPECT_NE(store(root).find(sid + " SeServiceLogonRight\n"), std::string::npos);
  EXPECT_NE(store(root).find("S-1-5-18 SeTcbPrivilege\n"), std::string::npos);

  policy.modifyrightforuser(L".\\" + user, L"SeServiceLogonRight", false);
  EXPECT_EQ(policy.enumerateaccountrights(user), std::vector<std::wstring>{L"SeBackupPrivilege"});

  EXPECT_EQ(kr_code([&] { policy.modifyrightforuser(user, L"SeFlyingRight", true); }), 1313u);
  EXPECT_EQ(kr_code([&] { policy.modifyrightforuser(L"nobody-at-all", L"SeTcbPrivilege", true); }),
            1332u);
  try {
    policy.modifyrightforuser(user, L"SeFlyingRight", false);
    ADD_FAILURE();
  } catch (const krException& e) {
    EXPECT_STREQ(e.what(), "lsa::addrighttouser() LsaRemoveAccountRights() failed.");
  }
  // Viewing access cannot change rights.
  policy.openforread();
  EXPECT_EQ(kr_code([&] { policy.modifyrightforuser(user, L"SeTcbPrivilege", true); }), 5u);
  EXPECT_EQ(policy.enumerateaccountrights(user).size(), 1u);
}

TEST(AccountRights, FullAccessNeedsWriteAccessToTheStore) {
  SKIP_UNLESS_ROOT();
  system_root root;
  log_recorder log;
  const int rc = run_as(65534, 65534, {}, [] {
    lsa policy;
    policy.openforread();
    bool workgroup = false;
    if (policy.getdomainorworkgroupname(workgroup) != L"WORKGROUP" || !workgroup) return 1;
    return static_cast<int>(kr_code([&] { policy.openfullaccess(); }));
  });
  EXPECT_EQ(rc, 5);
  // As root the store's folder is made on first use.
  lsa policy;
  policy.openfullaccess();
  policy.modifyrightforuser(L"root", L"SeTcbPrivilege", true);
  EXPECT_TRUE(fs::exists(root.path() / "var/lib/krcore/accountrights"));
}

TEST(AccountRights, ConcurrentWritersLoseNothing) {
  system_root root;
  const std::vector<std::wstring> rights = {L"SeBatchLogonRight", L"SeServiceLogonRight",
                                            L"SeNetworkLogonRight", L"SeDebugPrivilege"};
  std::vector<std::thread> writers;
  for (const std::wstring& right : rights)
    writers.emplace_back([right] {
      lsa policy;
      policy.openfullaccess();
      for (int i = 0; i < 10; ++i) {
        policy.modifyrightforuser(L"root", right, true);
        policy.modifyrightforuser(L"root", right, false);
      }
      policy.modifyrightforuser(L"root", right, true);
    });
  for (std::thread& t : writers) t.join();
  lsa policy;
  policy.openforread();
  EXPECT_EQ(policy.enumerateaccountrights(L"root").size(), rights.size());
}

// A store that is a FIFO (an ordinary open would hang; the child's alarm
// ends that) or that claims far more than any policy holds is refused with
// its code, and left as it is instead of being rewritten from nothing.
TEST(AccountRights, AStoreOfTheWrongKindOrSizeIsRefusedAndKeptIntact) {
  SKIP_UNLESS_ROOT();
  system_root root;
  const fs::path store_file = root.path() / "var/lib/krcore/accountrights";
  fs::create_directories(store_file.parent_path());
  ASSERT_EQ(::mkfifo(store_file.c_str(), 0644), 0);
  const auto codes = [] {
    return run_as(0, 0, {}, [] {
      alarm(60);
      lsa policy;
      policy.openfullaccess();
      const unsigned long listed = kr_code([&] { policy.enumerateaccountrights(L"root"); });
      const unsigned long changed =
          kr_code([&] { policy.modifyrightforuser(L"root", L"SeTcbPrivilege", true); });
      return listed == changed ? static_cast<int>(listed & 0xFF) : 254;
    });
  };
  EXPECT_EQ(codes(), 13);
  EXPECT_EQ(fs::status(store_file).type(), fs::fifo_file);

  fs::remove(store_file);
  std::ofstream(store_file.string()) << "S-1-5-18 SeTcbPrivilege\n";
  fs::resize_file(store_file, 64u << 20);
  EXPECT_EQ(codes(), 223);
  EXPECT_EQ(fs::file_size(store_file), 64u << 20);
}

TEST(AccountRights, DomainControllerUsesTheUserPartOfAName) {
  SKIP_UNLESS_TEST_ACCOUNTS();
  system_root root;
  const std::wstring name = L"CORP\\" + test_accounts::wuser();
  {
    lsa policy;
    policy.openfullaccess();
    EXPECT_EQ(kr_code([&] { policy.modifyrightforuser(name, L"SeServiceLogonRight", true); }),
              1332u);
  }
  root.write("etc/samba/smb.conf",
             "[global]\nworkgroup = CORP\nrealm = CORP.EXAMPLE.COM\n"
             "server role = active directory domain controller\n");
  root.facts();
  log_recorder log;
  lsa policy;
  policy.openfullaccess();
  policy.modifyrightforuser(name, L"SeServiceLogonRight", true);
  EXPECT_TRUE(log.has(L"lsa::modifyrightforuser() indicates the computer is a DC"));
  EXPECT_TRUE(log.has(L"lsa::modifyrightforuser() indicates the computer is a DC. Using accountname " +
                      test_accounts::wuser()));
  EXPECT_EQ(policy.enumerateaccountrights(test_accounts::wuser()),
            std::vector<std::wstring>{L"SeServiceLogonRight"});
  bool workgroup = true;
  EXPECT_EQ(policy.getdomainorworkgroupname(workgroup), L"CORP");
  EXPECT_FALSE(workgroup);
  EXPECT_EQ(policy.getdnsdomainname(), L"corp.example.com");
}

}  // namespace
