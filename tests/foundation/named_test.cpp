// Named objects shared between processes: an exec'd helper process opens
// the same names, a SIGKILLed helper abandons a mutex or leaves a segment
// behind, sixteen helpers race to create one name, a second account shares
// root's objects but never lends root its own, a fork child keeps a name its
// parent closed, a process in another IPC namespace keeps objects of its
// own while one without /proc shares them, and /dev/shm holds nothing of
// this test once its objects are closed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <krcore/foundation.h>

#include <chrono>
#include <optional>
#include <thread>

#include "foundation/in_child.h"
#include "sync_test_support.h"
#include "foundation/waitable.h"

namespace {

using synctest::narrow;
using synctest::unique_name;

constexpr DWORD kLong = 30000;  // generous bound for a loaded machine

class Named : public ::testing::Test {
 protected:
  // Segments named after this process's id that exist before the test has
  // made anything were left by an earlier process with the same id (ids are
  // reused; a killed run leaves its segments): remove them, or the check
  // below would blame this test.
  void SetUp() override {
    for (const std::string& stale : synctest::leftover_segments()) ::shm_unlink(("/" + stale).c_str());
  }
  void TearDown() override { EXPECT_EQ(synctest::leftover_segments(), std::vector<std::string>()); }
};

TEST_F(Named, SameNameIsTheSameObjectInThisAndAnExecdProcess) {
  const std::wstring name = unique_name("shared");
  krCore::autoresetevent a(name);
  EXPECT_EQ(GetLastError(), 0u);
  {
    krCore::autoresetevent b(true, name);  // exists: the initial state is not applied
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_EQ(WaitForSingleObject(a, 0), 258u);
    b.signal();
    EXPECT_EQ(WaitForSingleObject(a, 0), 0u);
  }
  const pid_t child = synctest::spawn_helper({"signal-event", narrow(name)});
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitForSingleObject(a, kLong), 0u);
  EXPECT_EQ(synctest::wait_helper(child), 0);  // the helper found it existing

  krCore::autoresetevent unnamed1, unnamed2;  // empty names stay private
  unnamed1.signal();
  EXPECT_EQ(WaitForSingleObject(unnamed2, 0), 258u);
}

TEST_F(Named, ANameOfAnotherKindFails) {
  const std::wstring name = unique_name("kind");
  krCore::manualresetevent e(name);
  EXPECT_THROW(krCore::mutex(false, name), krCore::mutexException);
  EXPECT_THROW(krCore::semaphore(1, 0, name), krCore::semaphore_exception);
  EXPECT_EQ(krCore::detail::create_semaphore(0, 1, name), nullptr);
  EXPECT_EQ(GetLastError(), 6u);
  try {
    krCore::autoresetevent wrong(name);  // auto- and manual-reset differ too
    ADD_FAILURE();
  } catch (const krCore::eventexception& ex) {
    EXPECT_EQ(ex.what(), narrow(name));
  }
}

TEST_F(Named, MutexAbandonedByAKilledProcess) {
  const std::wstring name = unique_name("abandon");
  const std::wstring ready_name = unique_name("ready");
  for (bool blocked : {true, false}) {
    SCOPED_TRACE(blocked ? "blocked waiter" : "late waiter");
    krCore::manualresetevent ready(ready_name);
    const pid_t child = synctest::spawn_helper({"hold-mutex", narrow(name), narrow(ready_name)});
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), 0u);
    krCore::mutex m(false, name);
    EXPECT_FALSE(m.own());
    EXPECT_FALSE(m.aquire(0));
    DWORD result = 0;
    std::thread waiter;
    if (blocked) {
      waiter = std::thread([&] {
        result = WaitForSingleObject(m, kLong);
        if (result == krCore::detail::kWaitAbandoned0) m.release();
      });
      synctest::await_waiters(m, 1);
    }
    synctest::kill_helper(child);
    if (blocked) {
      waiter.join();
    } else {
      result = WaitForSingleObject(m, kLong);
      if (result == krCore::detail::kWaitAbandoned0) {
        EXPECT_EQ(m.release(), 0u);
      }
    }
    EXPECT_EQ(result, krCore::detail::kWaitAbandoned0);
    EXPECT_TRUE(m.aquire(0));  // reported once; a normal mutex afterwards
    EXPECT_EQ(m.release(), 0u);
  }
}

TEST_F(Named, SegmentLeftByAKilledProcessIsStartedAfresh) {
  const std::wstring name = unique_name("stale");
  const std::wstring ready_name = unique_name("stale-ready");
  {
    krCore::manualresetevent ready(ready_name);
    const pid_t child = synctest::spawn_helper({"leave-event", narrow(name), narrow(ready_name)});
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), 0u);
    synctest::kill_helper(child);
  }
  {
    krCore::manualresetevent e(false, name);
    EXPECT_EQ(GetLastError(), 0u);  // created, not opened
    EXPECT_EQ(WaitForSingleObject(e, 0), 258u);  // the stale signalled state is gone
  }
}

TEST_F(Named, SixteenProcessesRaceToCreateOneName) {
  const std::wstring name = unique_name("race");
  const std::wstring start_name = unique_name("race-start");
  const std::wstring count_name = unique_name("race-count");
  const std::wstring done_name = unique_name("race-done");
  krCore::manualresetevent start(start_name), done(done_name);
  krCore::semaphore count(64, 0, count_name);
  std::vector<pid_t> children;
  for (int i = 0; i < 16; ++i) {
    children.push_back(synctest::spawn_helper(
        {"race", narrow(name), narrow(start_name), narrow(count_name), narrow(done_name)}));
    ASSERT_GT(children.back(), 0);
  }
  start.signal();
  for (int i = 0; i < 16; ++i) ASSERT_EQ(WaitForSingleObject(count, kLong), 0u);
  done.signal();
  int created = 0, existed = 0;
  for (pid_t c : children) {
    const int code = synctest::wait_helper(c);
    created += code == 0;
    existed += code == 183;
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(existed, 15);
}

// The test runs as root; the helper drops to the second account.
TEST_F(Named, AnotherAccountWaitsOnAndSignalsRootsObjects) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to start a second account";
  const std::wstring event_name = unique_name("acct-event");
  const std::wstring mutex_name = unique_name("acct-mutex");
  krCore::autoresetevent e(event_name);
  pid_t child = synctest::spawn_helper_as_other_account({"signal-event", narrow(event_name)});
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitForSingleObject(e, kLong), 0u);
  EXPECT_EQ(synctest::wait_helper(child), 0);  // it found root's event

  krCore::mutex m(mutex_name);  // owned
  ASSERT_TRUE(m.own());
  child = synctest::spawn_helper_as_other_account({"take-mutex", narrow(mutex_name)});
  ASSERT_GT(child, 0);
  synctest::await_waiters(m, 1);
  EXPECT_EQ(m.release(), 0u);
  EXPECT_EQ(synctest::wait_helper(child), 0);  // opened root's mutex, waited, took it
}

// A name the second account made first, or a file it planted where root's
// names live, must not become root's object.
TEST_F(Named, RootNeverSharesAnObjectAnotherAccountMade) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to start a second account";
  const std::wstring name = unique_name("squat");
  const std::wstring ready_name = unique_name("squat-ready");
  const std::string theirs = "/qmcore~" + std::to_string(synctest::kOtherAccount) + "." + narrow(name);
  {
    krCore::manualresetevent ready(ready_name);
    const pid_t child =
        synctest::spawn_helper_as_other_account({"hold-mutex", narrow(name), narrow(ready_name)});
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), 0u);
    krCore::mutex m(name);
    EXPECT_TRUE(m.own());
    EXPECT_TRUE(m.aquire(0));
    EXPECT_EQ(m.release(), 0u);
    EXPECT_EQ(m.release(), 0u);
    synctest::kill_helper(child);
  }
  ::shm_unlink(theirs.c_str());  // the killed helper's segment

  // A planted file in root's namespace, held open under a lock, where the
  // kernel refuses root an O_CREAT open of another account's file in a
  // sticky folder (Debian's default).
  const synctest::sysctl_setting regular("fs/protected_regular", "2");
  const std::string planted = "/dev/shm/qmcore." + narrow(name);
  int ready_pipe[2];
  ASSERT_EQ(::pipe(ready_pipe), 0);
  const pid_t planter = ::fork();
  if (planter == 0) {
    if (::setgid(synctest::kOtherAccount) != 0 || ::setuid(synctest::kOtherAccount) != 0) ::_exit(1);
    const int fd = ::open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    struct flock fl = {};
    fl.l_type = F_RDLCK;
    fl.l_len = 1;
    if (fd < 0 || ::ftruncate(fd, 4096) != 0 || ::fcntl(fd, F_OFD_SETLK, &fl) != 0) ::_exit(2);
    (void)!::write(ready_pipe[1], "r", 1);
    for (;;) ::pause();
  }
  char c = 0;
  ::close(ready_pipe[1]);
  ASSERT_EQ(::read(ready_pipe[0], &c, 1), 1);
  ::close(ready_pipe[0]);
  try {
    krCore::mutex m(name);
    EXPECT_TRUE(m.own());
    struct stat st;
    EXPECT_EQ(::stat(planted.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // every account may find root's objects
  } catch (const krCore::mutexException&) {
    ADD_FAILURE() << "refused";
  }
  synctest::kill_helper(planter);
}

// A daemon creates its guard, forks and lets the parent go: the child keeps
// the name, so a third process finds the child's object.
TEST_F(Named, AForkChildKeepsANameItsParentClosed) {
  const std::wstring name = unique_name("fork");
  HANDLE h = krCore::detail::create_event(false, false, name);
  ASSERT_NE(h, nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const DWORD r = WaitForSingleObject(h, kLong);
    krCore::detail::close_handle(h);
    ::_exit(r == 0 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  krCore::detail::close_handle(h);
  const pid_t third = synctest::spawn_helper({"signal-event", narrow(name)});
  const int found = synctest::wait_helper(third);
  EXPECT_EQ(found, 0);  // it found the child's event
  if (found != 0) ::kill(child, SIGKILL);  // the child waits in vain
  EXPECT_EQ(synctest::wait_helper(child), 0);  // and the child saw its signal
}

// The name goes with the last handle even while the mutex is owned: by the
// closing thread, or by another thread that is still running.
TEST_F(Named, AMutexClosedWhileOwnedLeavesNoName) {
  const std::wstring name = unique_name("owned");
  {
    krCore::mutex guard(name);
    ASSERT_TRUE(guard.own());
  }
  EXPECT_EQ(synctest::leftover_segments(), std::vector<std::string>());
  HANDLE h = krCore::detail::create_mutex(false, name);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetLastError(), 0u);  // made afresh

  krCore::manualresetevent owned, finish;
  std::thread owner([&] {
    if (WaitForSingleObject(h, kLong) != 0) return;
    owned.signal();
    WaitForSingleObject(finish, kLong);
  });
  ASSERT_EQ(WaitForSingleObject(owned, kLong), 0u);
  krCore::detail::close_handle(h);
  EXPECT_EQ(synctest::leftover_segments(), std::vector<std::string>());
  {
    krCore::mutex again(name);
    EXPECT_TRUE(again.own());
    finish.signal();
    owner.join();
    EXPECT_TRUE(again.aquire(0));  // no abandonment from the other thread's end
    EXPECT_EQ(again.release(), 0u);
    EXPECT_EQ(again.release(), 0u);
  }
}

// A process in another IPC namespace that shares /dev/shm (a service with a
// private IPC namespace, a container) sees this side's name files but not
// its segments. It keeps objects of its own under the names, a name of
// another kind here is no obstacle there, neither side sees or takes the
// other's state or file, and its object stays the one object of its side
// while this side's name comes and goes.
TEST_F(Named, AnotherIpcNamespaceKeepsObjectsOfItsOwn) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root for a new IPC namespace";
  const std::wstring name = unique_name("ipc-ns"), kind_name = unique_name("ipc-ns-kind");
  const std::string file = "/dev/shm/qmcore." + narrow(name);
  int down[2], up[2];
  ASSERT_EQ(::pipe(down), 0);
  ASSERT_EQ(::pipe(up), 0);
  // Forked before this side opens the names: the child's process has no
  // attachment of them to share.
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(down[1]);
    ::close(up[0]);
    const auto step = [&](char tell) {
      char c = 0;
      return ::write(up[1], &tell, 1) == 1 && ::read(down[0], &c, 1) == 1;
    };
    int code = 99;
    try {
      code = [&] {
        if (::unshare(CLONE_NEWIPC) != 0) return 10;
        char c = 0;
        if (::read(down[0], &c, 1) != 1) return 11;
        krCore::autoresetevent e(name);
        if (GetLastError() != 0) return 12;             // joined the other side's
        if (WaitForSingleObject(e, 0) != 258) return 13;  // saw the other side's state
        krCore::mutex m(kind_name);
        if (!m.own()) return 14;
        pid_t helper = synctest::spawn_helper({"signal-event", narrow(name)});
        if (synctest::wait_helper(helper) != 0 || WaitForSingleObject(e, kLong) != 0) return 15;
        if (!step('b')) return 16;  // the other side closes its event meanwhile
        helper = synctest::spawn_helper({"signal-event", narrow(name)});
        if (synctest::wait_helper(helper) != 0 || WaitForSingleObject(e, kLong) != 0) return 17;
        return 0;
      }();
    } catch (...) {
    }
    ::_exit(code);
  }
  ::close(down[0]);
  ::close(up[1]);
  struct ending {
    int down, up;
    pid_t child;
    ~ending() {
      ::close(down);
      ::close(up);
      if (child > 0) ::kill(child, SIGKILL);
      if (child > 0) ::waitpid(child, nullptr, 0);
    }
  } ending{down[1], up[0], child};
  ASSERT_GT(child, 0);
  const auto child_code = [&] {
    ending.child = 0;
    return testsupport::exit_code_within(child, kLong);
  };
  std::optional<krCore::autoresetevent> mine(std::in_place, name);
  krCore::manualresetevent other_kind(kind_name);
  mine->signal();
  struct stat before, after;
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  char c = 0;
  ASSERT_EQ(::write(down[1], "a", 1), 1);
  ASSERT_EQ(::read(up[0], &c, 1), 1) << "the child ended with " << child_code();
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // still this side's file
  EXPECT_EQ(WaitForSingleObject(*mine, 0), 0u);  // its own signal, not taken there
  const pid_t helper = synctest::spawn_helper({"signal-event", narrow(name)});
  EXPECT_EQ(synctest::wait_helper(helper), 0);  // found this side's event
  EXPECT_EQ(WaitForSingleObject(*mine, kLong), 0u);
  mine.reset();
  ASSERT_NE(::stat(file.c_str(), &after), 0);  // the plain name is free now
  ASSERT_EQ(::write(down[1], "c", 1), 1);
  EXPECT_EQ(child_code(), 0)
      << "12/13: it joined this side's object; 15/17: its side did not agree on one";
}

// A process that cannot tell its IPC namespace (no /proc) still shares the
// objects of its namespace.
TEST_F(Named, AProcessWithoutProcSharesObjects) {
  ASSERT_EQ(::geteuid(), 0u) << "needs root to hide /proc";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's runtime in the helper reads its options and threads from /proc";
#endif
  const std::wstring name = unique_name("no-proc");
  krCore::autoresetevent e(name);
  EXPECT_EQ(testsupport::in_child([&] {
              if (::unshare(CLONE_NEWNS) != 0 ||
                  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                  ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
                return 10;
              return synctest::wait_helper(synctest::spawn_helper({"signal-event", narrow(name)}));
            }),
            0);  // found this process's event
  EXPECT_EQ(WaitForSingleObject(e, 0), 0u);
}

TEST_F(Named, NamesOfUpTo260Characters) {
  std::wstring name = unique_name("long-");
  name.resize(260, L'\x0416');  // six bytes each once escaped
  krCore::autoresetevent e(name);
  const pid_t child = synctest::spawn_helper({"signal-event", krCore::convertwstringtostring(name)});
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitForSingleObject(e, kLong), 0u);
  EXPECT_EQ(synctest::wait_helper(child), 0);
  EXPECT_EQ(krCore::detail::create_event(false, false, name + L"x"), nullptr);
  EXPECT_EQ(GetLastError(), 206u);
}

}  // namespace
