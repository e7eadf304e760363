// A process at its thread limit: the first mutex, worker thread and pool
// it makes answer as their contracts say (a mutex is made, a worker's start
// throws w32_exception, a pool starts no thread), every time. The limit is a
// real RLIMIT_NPROC on the second account, which root's exemption would
// defeat, and it must meet a process that has made none of these yet: the
// test runs this program again in a child, as that account, with only the
// child body selected.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <krcore/threading.h>

#include <cstdlib>
#include <string>

#include "foundation/in_child.h"

namespace {

constexpr const char* kBodyVariable = "QMCORE_THREAD_LIMIT_BODY";
constexpr uid_t kNobody = 65534;

class worker : public krCore::EasyThreadImpl {};

}  // namespace

// Runs only in the child that ThreadLimit.LibraryAnswersAsDocumented starts.
TEST(ThreadLimit, ChildBody) {
  if (!std::getenv(kBodyVariable)) GTEST_SKIP() << "runs in the child of the next test";
  const struct rlimit one = {1, 1};
  ASSERT_EQ(::setrlimit(RLIMIT_NPROC, &one), 0);
  ASSERT_EQ(::setgid(kNobody), 0);
  ASSERT_EQ(::setuid(kNobody), 0);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_NO_THROW({
      krCore::mutex m(false, L"");
      EXPECT_TRUE(m.aquire(0));
      EXPECT_EQ(m.release(), 0u);
    });
    worker w;
    EXPECT_THROW(w.StartThread(), w32_exception);
    krCore::threadpool pool(2, krCore::threadpool::MAX_QUEUE_SIZE);
    EXPECT_EQ(pool.start(), 0);
  }
}

TEST(ThreadLimit, LibraryAnswersAsDocumented) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become the second account";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv(kBodyVariable, "1", 1);
    // The leak checker would need a thread of its own at the exit.
    ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    ::execl("/proc/self/exe", "thread_limit_tests", "--gtest_filter=ThreadLimit.ChildBody",
            static_cast<char*>(nullptr));
    ::_exit(98);
  }
  ASSERT_GT(pid, 0);
  EXPECT_EQ(testsupport::exit_code_within(pid, 60000), 0);
}
