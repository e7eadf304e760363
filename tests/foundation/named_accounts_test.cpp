// Named objects against another account: whatever the second account does
// to root's names and to the memory it may share with root (scribbles over
// it, truncates what it can open, links, plants FIFOs, links and folders
// where root's names go), root's objects keep working, root never faults,
// and root's calls never act on what that account wrote. Leftovers of ended
// processes go at the next open in their namespace. Runs as root; the
// second account is uid 65534.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <krcore/foundation.h>

#include <cstring>
#include <functional>
#include <memory>

#include "foundation/in_child.h"
#include "sync_test_support.h"
#include "foundation/waitable.h"

namespace {

using synctest::narrow;
using synctest::unique_name;

constexpr DWORD kLong = 30000;

std::string root_file(const std::wstring& name) { return "/dev/shm/qmcore." + narrow(name); }

// Runs `body` as the second account in a child; its exit code.
int as_other_account(const std::function<int()>& body) {
  return testsupport::in_child([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(synctest::kOtherAccount) != 0 ||
        ::setuid(synctest::kOtherAccount) != 0)
      return 70;
    return body();
  });
}

// What a hostile account does to the object behind `file`: fills every byte
// of its state it can reach with 0x41 (the file itself when it may map it
// writably, else the shared segment the file's header names in its fourth
// word), then shrinks the file to nothing if it may. 0 when it reached the
// state at all.
int scribble_and_truncate(const std::string& file) {
  int reached = 1;
  const int fd = ::open(file.c_str(), O_RDWR | O_NOFOLLOW);
  if (fd >= 0) {
    void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      std::memset(p, 0x41, 4096);
      ::munmap(p, 4096);
      reached = 0;
    }
    (void)!::ftruncate(fd, 0);
    ::close(fd);
    return reached;
  }
  const int ro = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW);
  std::int32_t words[4];
  if (ro >= 0 && ::pread(ro, words, sizeof words, 0) == sizeof words) {
    void* p = ::shmat(words[3], nullptr, 0);
    if (p != reinterpret_cast<void*>(-1)) {
      std::memset(p, 0x41, 4096);
      ::shmdt(p);
      reached = 0;
    }
  }
  return reached;
}

TEST(NamedAccounts, WhatAnotherAccountWritesNeverFaultsOrSteersRoot) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to start a second account";
  const std::wstring ev = unique_name("steer-event"), mx = unique_name("steer-mutex"),
                     sem = unique_name("steer-sem");
  const int code = testsupport::in_child([&] {
    krCore::autoresetevent e(ev);
    krCore::mutex m(mx);  // owned: a thread of root's holds it while the other account writes
    krCore::semaphore s(2, 0, sem);
    if (!m.own()) return 10;
    for (const std::wstring& n : {ev, mx, sem})
      if (as_other_account([&] { return scribble_and_truncate(root_file(n)); }) != 0) return 11;
    // Root goes on with its objects: what the words say may be anything,
    // but a call is a call on root's object of that kind and nothing faults.
    m.release();
    WaitForSingleObject(m, 0);
    e.signal();
    WaitForSingleObject(e, 0);
    s.release(1);
    WaitForSingleObject(s, 0);
    HANDLE both[] = {e, s};
    WaitForMultipleObjects(2, both, 0, 0);
    if (!krCore::detail::set_event(e)) return 12;  // still root's event
    if (!krCore::detail::release_semaphore(s, 1, nullptr) && GetLastError() != 298) return 12;
    // A second root process still finds the event for what it is.
    const pid_t child = synctest::spawn_helper({"signal-event", narrow(ev)});
    return synctest::wait_helper(child) == 0 ? 0 : 13;
  });
  EXPECT_EQ(code, 0) << "-1: root's process died of a signal";
}

// Read locks the second account holds on a name file of root's (as every
// account that may read it can), also on the byte root's processes take a
// dead name back under, neither keep the name from root nor hold root's
// next open: it was a wait without end while any account held the byte.
TEST(NamedAccounts, LocksAnotherAccountHoldsOnRootsNameNeverHoldRoot) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to start a second account";
  const std::wstring name = unique_name("locked");
  const int code = testsupport::in_child([&] {
    int go[2], ready[2], done[2];
    if (::pipe(go) != 0 || ::pipe(ready) != 0 || ::pipe(done) != 0) return 10;
    // Forked before root attaches anything, as a stranger shares nothing.
    const pid_t holder = ::fork();
    if (holder == 0) {
      ::close(done[1]);  // its end comes when the test closes its own
      ::_exit(as_other_account([&] {
        char c = 0;
        if (::read(go[0], &c, 1) != 1) return 1;
        const int fd = ::open(root_file(name).c_str(), O_RDONLY | O_NOFOLLOW);
        for (const off_t byte : {off_t{0}, off_t{1} << 40}) {
          struct flock fl = {};
          fl.l_type = F_RDLCK;
          fl.l_whence = SEEK_SET;
          fl.l_start = byte;
          fl.l_len = 1;
          if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &fl) != 0) return 2;
        }
        return ::write(ready[1], "x", 1) == 1 && ::read(done[0], &c, 1) >= 0 ? 0 : 3;
      }));
    }
    auto ev = std::make_unique<krCore::manualresetevent>(name);
    char c = 0;
    if (::write(go[1], "x", 1) != 1 || ::read(ready[0], &c, 1) != 1) return 11;
    ev.reset();  // the file stays, held by the other account; the state goes
    const pid_t opener = ::fork();
    if (opener == 0) {
      krCore::manualresetevent again(name);  // throws, ending the child with 99, on failure
      again.signal();
      ::_exit(WaitForSingleObject(again, 0) == WAIT_OBJECT_0 ? 0 : 1);
    }
    const int opened = testsupport::exit_code_within(opener, 30000);
    ::close(done[1]);
    int status = 0;
    ::waitpid(holder, &status, 0);
    return opened == 0 ? 0 : 12;
  });
  EXPECT_EQ(code, 0) << "12: root's open of its own name did not end well within 30 s";
}

// Plants of each kind where root's names go, by the second account, while
// the kernel refuses root an O_CREAT open of another account's file in a
// sticky folder: root takes every name back.
TEST(NamedAccounts, RootTakesBackFifosLinksAndFoldersPlantedAtItsNames) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to start a second account";
  const synctest::sysctl_setting regular("fs/protected_regular", "2");
  const std::wstring names[] = {unique_name("plant-fifo"), unique_name("plant-link"),
                                unique_name("plant-dir"), unique_name("plant-file")};
  ASSERT_EQ(as_other_account([&] {
              int bad = 0;
              bad += ::mkfifo(root_file(names[0]).c_str(), 0666) != 0;
              bad += ::symlink("/etc/passwd", root_file(names[1]).c_str()) != 0;
              bad += ::mkdir(root_file(names[2]).c_str(), 0777) != 0;
              const int fd = ::open(root_file(names[3]).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
              bad += fd < 0 || ::ftruncate(fd, 4096) != 0;
              return bad;
            }),
            0);
  for (const std::wstring& n : names) {
    SCOPED_TRACE(narrow(n));
    try {
      krCore::manualresetevent e(n);
      EXPECT_EQ(GetLastError(), 0u);  // made afresh
      struct stat st;
      ASSERT_EQ(::lstat(root_file(n).c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_uid, 0u);
    } catch (const krCore::eventexception&) {
      ADD_FAILURE() << "refused";
    }
    if (::unlink(root_file(n).c_str()) != 0) ::rmdir(root_file(n).c_str());  // a plant left
  }
  struct stat st;
  EXPECT_EQ(::lstat("/etc/passwd", &st), 0);  // the link's target is untouched
}

// The second account plants a file where a third account's name goes; the
// third account's object of that name still works, and its processes agree
// on it.
TEST(NamedAccounts, AnAccountsNameSquattedByAnotherStillWorks) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to start other accounts";
  constexpr uid_t kThird = 65533;
  const synctest::sysctl_setting regular("fs/protected_regular", "2");
  const std::wstring name = unique_name("squat-other");
  const std::string plant = "/dev/shm/qmcore~" + std::to_string(kThird) + "." + narrow(name);
  ASSERT_EQ(as_other_account([&] {
              const int fd = ::open(plant.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
              return fd >= 0 && ::ftruncate(fd, 4096) == 0 ? 0 : 1;
            }),
            0);
  const synctest::other_account_helper& other = synctest::helper_for_other_account();
  std::string helper = other.path;
  std::vector<std::string> environment = other.environment;
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const int code = testsupport::in_child([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kThird) != 0 || ::setuid(kThird) != 0) return 70;
    krCore::autoresetevent e(name);
    if (GetLastError() != 0) return 20;
    std::string cmd = "signal-event", arg = narrow(name);
    char* argv[] = {helper.data(), cmd.data(), arg.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return 21;
    if (synctest::wait_helper(pid) != 0) return 22;  // it found the same object
    return WaitForSingleObject(e, kLong) == 0 ? 0 : 23;
  });
  EXPECT_EQ(code, 0) << "20: the third account's object failed";
  ::unlink(plant.c_str());
}

// A hard link from one of root's names to another (one another account
// could make where hard links are not protected) does not make them one
// object.
TEST(NamedAccounts, AHardLinkDoesNotJoinTwoOfRootsNames) {
  const std::wstring a = unique_name("link-a"), b = unique_name("link-b");
  krCore::manualresetevent first(a);
  ASSERT_EQ(::link(root_file(a).c_str(), root_file(b).c_str()), 0);
  krCore::manualresetevent second(b);
  EXPECT_EQ(GetLastError(), 0u);  // made afresh, not the linked object
  second.signal();
  EXPECT_EQ(WaitForSingleObject(first, 0), 258u);
  krCore::manualresetevent again(a);  // a's own name still is a's object
  EXPECT_EQ(GetLastError(), 183u);
}

// A process killed while holding a named object leaves its file; the next
// process to open any name in that namespace removes it, and never a live
// one.
// Another account can use up the machine's segments (kernel.shmmni, shared
// by all accounts of an IPC namespace); a private namespace whose limit is
// already reached stands for that. Root's new object then fails with a
// quota code, leaves no name behind, and its existing objects go on.
TEST(NamedAccounts, SegmentsUsedUpGiveAQuotaErrorAndLeaveNoName) {
  const std::wstring name = unique_name("no-segments");
  EXPECT_EQ(testsupport::in_child([&] {
              if (::unshare(CLONE_NEWIPC) != 0) return 10;
              krCore::manualresetevent before(unique_name("before"));
              const int limit = ::open("/proc/sys/kernel/shmmni", O_WRONLY);
              if (limit < 0 || ::write(limit, "1", 1) != 1) return 11;
              ::close(limit);
              if (krCore::detail::create_semaphore(0, 1, name) != nullptr) return 12;
              if (GetLastError() != 1816) return 13;
              struct stat st;
              if (::stat(root_file(name).c_str(), &st) == 0) return 14;
              before.signal();
              return WaitForSingleObject(before, 0) == 0 ? 0 : 15;
            }),
            0);
}

TEST(NamedAccounts, LeftoversOfEndedProcessesGoAtTheNextOpenInTheNamespace) {
  const std::wstring dead = unique_name("leftover"), live = unique_name("live"),
                     ready_name = unique_name("leftover-ready");
  krCore::manualresetevent held(live);
  {
    krCore::manualresetevent ready(ready_name);
    const pid_t child = synctest::spawn_helper({"leave-event", narrow(dead), narrow(ready_name)});
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), 0u);
    synctest::kill_helper(child);
  }
  const pid_t next = synctest::spawn_helper({"signal-event", narrow(unique_name("elsewhere"))});
  EXPECT_EQ(synctest::wait_helper(next), 1);  // made its own event
  struct stat st;
  EXPECT_NE(::stat(root_file(dead).c_str(), &st), 0);
  EXPECT_EQ(::stat(root_file(live).c_str(), &st), 0);
}

}  // namespace
