// Deletion with retries: missing paths, files and trees, read-only files, a
// file held by a log-file writer (freed during the retries, or held to the
// end), a file the system refuses to remove, deletion on a pool, the scope
// holder, and names beyond ASCII. The same cases run on Linux and Windows;
// what only one system has (another handle's share modes, the immutable
// attribute, names that are not UTF-8) is guarded below.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <krcore/files.h>

#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>
#include <cstdlib>
#include <locale>
#include <thread>

#include "files/file_services.h"
#include "logging/logfile_io.h"
#include "processes/log_record.h"
#include "sysutil/directories.h"

namespace {

namespace fs = boost::filesystem;
using namespace proctest;

class Deletion : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    dir = fs::temp_directory_path() / fs::unique_path("krdel-%%%%-%%%%");
    fs::create_directories(dir);
    krCore::detail::set_delete_retry_sleep([this](unsigned long ms) {
      slept.push_back(ms);
      if (on_sleep) on_sleep();
    });
  }
  void TearDown() override {
    krCore::detail::set_delete_retry_sleep({});
    boost::system::error_code ec;
    fs::remove_all(dir, ec);
    LoggedTest::TearDown();
  }
  fs::path file(const std::string& name) {
    fs::path p = dir / name;
    fs::create_directories(p.parent_path());
    // The path's own bytes (Linux) or wide name (Windows), never a
    // conversion through the process locale.
    boost::filesystem::ofstream(p) << "data";
    return p;
  }
  // Holds `p` as a log-file writer does (its exclusive lock).
  void hold(const fs::path& p) {
    krCore::detail::file_identity id;
    std::uint64_t size = 0;
    ASSERT_EQ(holder.open(p.wstring(), false, true, id, size), 0u);
  }

  fs::path dir;
  std::vector<unsigned long> slept;
  std::function<void()> on_sleep;
  krCore::detail::log_file holder;
};

TEST_F(Deletion, MissingFileAndTree) {
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(dir / "none"));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].text, L"DeleteWithRetrySynchronous called for non-existant path [" +
                                 (dir / "none").wstring() + L", returning true");

  const fs::path a = file("a"), b = file("b");
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(a));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_TRUE(fs::exists(b));
  EXPECT_EQ(with(L"DeleteWithRetrySynchronous - path [" + a.wstring() + L"] was successfully removed.").size(), 1u);

  file("tree/x/y/z");
  file("tree/w");
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(dir / "tree"));
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_TRUE(slept.empty());
}

// A read-only file goes at once, alone or inside a tree, as the owner of
// its folder may remove it.
TEST_F(Deletion, ReadOnlyFilesGo) {
  const fs::perms read_only = fs::owner_read | fs::group_read | fs::others_read;
  const fs::path alone = file("alone");
  const fs::path inner = file("tree/sub/inner");
  fs::permissions(alone, read_only);
  fs::permissions(inner, read_only);
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(alone));
  EXPECT_FALSE(fs::exists(alone));
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(dir / "tree"));
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_TRUE(slept.empty());
}

// Names beyond ASCII, past U+FFFF too, on files and on a tree's folders;
// the log lines carry the name unchanged.
TEST_F(Deletion, NamesBeyondAscii) {
  const std::wstring name = L"caf\u00E9-\u65E5\u672C-\U0001F600";
  const fs::path named = dir / krCore::detail::path_from_wide(name);
  fs::create_directories(named / krCore::detail::path_from_wide(L"\U00010348"));
  boost::filesystem::ofstream(named / krCore::detail::path_from_wide(L"\U00010348") /
                              krCore::detail::path_from_wide(name))
      << "data";
  const fs::path single = file("single");
  const fs::path renamed = dir / krCore::detail::path_from_wide(name + L".txt");
  fs::rename(single, renamed);
  for (const fs::path& p : {renamed, named}) {
    EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(p));
    EXPECT_FALSE(fs::exists(p));
    EXPECT_EQ(with(L"DeleteWithRetrySynchronous - path [" + krCore::detail::wide_from_path(p) +
                   L"] was successfully removed.")
                  .size(),
              1u);
  }
  EXPECT_TRUE(slept.empty());
}

TEST_F(Deletion, HeldFileIsRetriedUntilItsWriterLetsGo) {
  const fs::path p = file("held.log.txt");
  hold(p);
  on_sleep = [this] { holder.close(); };
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(p));
  EXPECT_FALSE(fs::exists(p));
  EXPECT_EQ(slept, (std::vector<unsigned long>{2000}));
  const auto warned = with(L"DeleteWithRetrySynchronous - attempt to remove [" + p.wstring() +
                           L"] failed, will retry 4 more times. Last error - ");
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_EQ(warned[0].level, logger::log_warning);

  // A tree that holds a held file is in use too.
  const fs::path inner = file("tree/inner.log.txt");
  hold(inner);
  slept.clear();
  EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(dir / "tree"));
  EXPECT_EQ(slept.size(), 1u);
  EXPECT_FALSE(fs::exists(dir / "tree"));
}

TEST_F(Deletion, FiveFailuresSleepLongerEachTimeAndGiveUp) {
  const fs::path p = file("held.log.txt");
  hold(p);
  EXPECT_FALSE(krCore::DeleteWithRetrySynchronous(p));
  EXPECT_TRUE(fs::exists(p));
  EXPECT_EQ(slept, (std::vector<unsigned long>{2000, 4000, 6000, 8000, 10000}));
  for (int left = 4; left >= 0; --left)
    EXPECT_EQ(with(L"failed, will retry " + std::to_wstring(left) + L" more times.").size(), 1u) << left;
  const auto last = with(L"DeleteWithRetrySynchronous - attempt to remove [" + p.wstring() +
                         L"] failed after 5 attempts; returning false");
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].level, logger::log_error);
}

#ifdef _WIN32
// Another handle that does not share deletion makes the system refuse the
// removal (of the file, or of a tree holding it) until it is closed: here
// by another thread, when the first retry begins to wait.
TEST_F(Deletion, AHandleThatRefusesDeletionIsWaitedOut) {
  const fs::path alone = file("open.txt");
  const fs::path inner = file("tree/sub/open.txt");
  for (const auto& [target, held] : {std::pair{alone, alone}, std::pair{dir / "tree", inner}}) {
    const HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const HANDLE asked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread closer([&] {
      WaitForSingleObject(asked, INFINITE);
      CloseHandle(handle);
      SetEvent(closed);
    });
    on_sleep = [&] {
      SetEvent(asked);
      WaitForSingleObject(closed, 60000);
    };
    slept.clear();
    EXPECT_TRUE(krCore::DeleteWithRetrySynchronous(target));
    SetEvent(asked);
    closer.join();
    EXPECT_EQ(slept, (std::vector<unsigned long>{2000}));
    EXPECT_FALSE(fs::exists(target));
    CloseHandle(asked);
    CloseHandle(closed);
  }
}

TEST_F(Deletion, AHandleHeldToTheEndIsAFailure) {
  const fs::path p = file("kept.txt");
  const HANDLE handle =
      CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const bool removed = krCore::DeleteWithRetrySynchronous(p);
  CloseHandle(handle);
  EXPECT_FALSE(removed);
  EXPECT_EQ(slept.size(), 5u);
  EXPECT_TRUE(fs::exists(p));
  EXPECT_EQ(with(L"] failed after 5 attempts; returning false").size(), 1u);
}
#endif

#ifndef _WIN32
TEST_F(Deletion, ImmutableFileIsARealFailure) {
  const fs::path p = file("fixed");
  if (::geteuid() != 0 || std::system(("chattr +i '" + p.string() + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "needs root and a file system with the immutable attribute";
  const bool removed = krCore::DeleteWithRetrySynchronous(p);
  std::system(("chattr -i '" + p.string() + "'").c_str());
  EXPECT_FALSE(removed);
  EXPECT_EQ(slept.size(), 5u);
  EXPECT_TRUE(fs::exists(p));
}
#endif

#ifndef _WIN32
// Another account owns a folder inside the tree and, once the removal has
// begun in its sub-folder, renames that away and puts a link to a folder
// only root may read in its place. The removal goes on in the folder it
// opened and removes the link itself; what the link points to stays whole.
TEST_F(Deletion, ALinkSwappedInDuringTheWalkIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root and the account 65534";
  constexpr int kFiles = 4000;
  const fs::path owned = dir / "tree" / "owned";
  const fs::path sub = owned / "sub";
  const fs::path victim = dir / "victim";
  fs::create_directories(sub);
  fs::create_directories(victim);
  ASSERT_EQ(::chmod(victim.c_str(), 0700), 0);
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    boost::filesystem::ofstream(sub / name) << "x";
    boost::filesystem::ofstream(victim / name) << "secret";
  }
  ASSERT_EQ(::chown(owned.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(sub.c_str(), 65534, 65534), 0);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int watch = ::inotify_init();
    if (watch < 0 || ::inotify_add_watch(watch, sub.c_str(), IN_DELETE) < 0 ||
        ::setgid(65534) != 0 || ::setuid(65534) != 0)
      ::_exit(2);
    (void)!::write(ready[1], "r", 1);
    char event[sizeof(struct inotify_event) + 256];
    if (::read(watch, event, sizeof event) <= 0) ::_exit(3);
    const fs::path away = owned / "away";
    ::_exit(::rename(sub.c_str(), away.c_str()) == 0 && ::symlink(victim.c_str(), sub.c_str()) == 0
                ? 0
                : 4);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  const bool removed = krCore::DeleteWithRetrySynchronous(dir / "tree");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the other account could not swap the folder";
  EXPECT_TRUE(removed);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "tree")));
  int left = 0;
  for (fs::directory_iterator it(victim), end; it != end; ++it) ++left;
  EXPECT_EQ(left, kFiles);
}

// A tree deeper than the walk goes is refused with a line that says so,
// and the caller's stack is not what limits it.
TEST_F(Deletion, ADeepTreeIsRefusedByItsDepth) {
  fs::path deep = dir / "deep";
  fs::create_directories(deep);
  const int top = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  int fd = ::dup(top);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(::mkdirat(fd, "d", 0700), 0);
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  ::close(fd);
  ::close(top);
  EXPECT_FALSE(krCore::DeleteWithRetrySynchronous(deep));
  EXPECT_FALSE(with(L"is more than 256 folders deep").empty());
  EXPECT_EQ(slept.size(), 5u);
  EXPECT_TRUE(fs::exists(deep));
  ASSERT_EQ(std::system(("rm -rf '" + deep.string() + "'").c_str()), 0);
}
#endif

TEST_F(Deletion, OnAPool) {
  krCore::threadpool pool(2, 16);
  ASSERT_GT(pool.start(), 0);
  const fs::path p = file("async");
  krCore::DeleteWithRetriesAsync(p, &pool);
  EXPECT_TRUE(wait_for(L"DeleteWithRetriesAsync - path [" + p.wstring() + L"] was successfully removed."));
  EXPECT_FALSE(fs::exists(p));

  const fs::path q = file("work");
  auto work = std::make_shared<krCore::DeletePathWork>(q.wstring());
  pool.submitwork(work);
  EXPECT_EQ(WaitForSingleObject(work->GetCompleteHandle(), 20000), 0u);
  EXPECT_FALSE(fs::exists(q));

  try {
    krCore::DeleteWithRetriesAsync(q, nullptr);
    ADD_FAILURE() << "a null pool must throw";
  } catch (const w32_exception& e) {
    EXPECT_EQ(e.code, 0x80004003ul);
  }
  pool.shutdown(10000);
}

TEST_F(Deletion, HolderDeletesOnceByItsLastOwner) {
  const fs::path a = file("a"), b = file("b"), c = file("c");
  {
    krCore::path_auto_delete kept(a);
    kept.release();
    EXPECT_TRUE(kept.empty());
  }
  EXPECT_TRUE(fs::exists(a));
  {
    krCore::path_auto_delete first(b);
    krCore::path_auto_delete second(std::move(first));
    EXPECT_TRUE(first.empty());  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_EQ(second.path(), b);
    krCore::path_auto_delete third(c);
    third = std::move(second);  // deletes c, takes b
    EXPECT_FALSE(fs::exists(c));
    EXPECT_TRUE(fs::exists(b));
    krCore::path_auto_delete& itself = third;
    third = std::move(itself);  // assignment to itself keeps the path
    EXPECT_TRUE(fs::exists(b));
  }
  EXPECT_FALSE(fs::exists(b));
  EXPECT_EQ(with(L"[" + b.wstring() + L"] was successfully removed.").size(), 1u);

  krCore::threadpool pool(1, 16);
  ASSERT_GT(pool.start(), 0);
  { krCore::path_auto_delete on_pool(a, &pool); }
  EXPECT_TRUE(wait_for(L"DeleteWithRetriesAsync - path [" + a.wstring() + L"] was successfully removed."));
  pool.shutdown(10000);
}

#ifndef _WIN32
// Names that are not UTF-8, and non-ASCII names under the C locale (the
// usual locale of a service), with the path class's own conversion set to
// each locale: deletion, its log lines and the holder never depend on it.
TEST_F(Deletion, NamesThatTheLocaleCannotConvert) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  krCore::threadpool pool(1, 16);
  ASSERT_GT(pool.start(), 0);
  for (const std::string locale : {"C", "C.UTF-8"}) {
    const std::locale previous = fs::path::imbue(std::locale(locale));
    const fs::path latin1 = file("caf\xE9-" + locale);
    const fs::path utf8 = file("caf\xC3\xA9-" + locale);
    const fs::path tree = dir / ("tr\xEA" "e-" + locale);
    file(tree.filename().string() + "/x\xFF/y");
    for (const fs::path& p : {latin1, utf8, tree}) {
      bool removed = false;
      EXPECT_NO_THROW(removed = krCore::DeleteWithRetrySynchronous(p)) << locale;
      EXPECT_TRUE(removed);
      EXPECT_FALSE(fs::exists(p)) << locale;
      const std::wstring wide = krCore::detail::wide_from_path(p);
      EXPECT_EQ(with(L"DeleteWithRetrySynchronous - path [" + wide + L"] was successfully removed.")
                    .size(),
                1u);
      EXPECT_NO_THROW(krCore::DeleteWithRetrySynchronous(p));  // and when it is gone
    }

    const fs::path queued = file("qu\xEB" "ue-" + locale);
    EXPECT_NO_THROW(krCore::DeleteWithRetriesAsync(queued, &pool));
    EXPECT_TRUE(wait_for(L"DeleteWithRetriesAsync - path [" +
                         krCore::detail::wide_from_path(queued) + L"] was successfully removed."));
    EXPECT_FALSE(fs::exists(queued));

    // A holder's destructor reached std::terminate through the conversion.
    const fs::path held = file("h\xF6ld-" + locale);
    EXPECT_EXIT(
        {
          fs::path::imbue(std::locale(locale));
          { krCore::path_auto_delete holder(held); }
          std::_Exit(fs::exists(held) ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "")
        << locale;
    fs::path::imbue(previous);
  }
  pool.shutdown(10000);
}
#endif

}  // namespace
