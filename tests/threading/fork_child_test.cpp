// A forked child has only the thread that forked: the objects it inherits
// whose threads were the parent's (a started pool, a worker thread, the
// logger's configuration watcher) know that those threads are not there,
// so waiting for them, stopping them or destroying their owner returns at
// once. Each child is waited for with a bound, and a hung one is killed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <krcore/krlog.h>
#include <krcore/threading.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/in_child.h"
#include "probe_thread.h"

using testsupport::exit_code_within;
using threadtest::probe_thread;

namespace {

namespace fs = std::filesystem;

// Far below the ten seconds a pool gives its threads before ending them.
constexpr int kChildMs = 5000;

// Forks; the child runs `body` and exits with its code (99 when it threw),
// the parent returns the child's exit code, or -1 when it did not exit
// within kChildMs.
template <class Body>
int child_exit_code(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid < 0 ? -2 : exit_code_within(pid, kChildMs);
}

}  // namespace

TEST(ForkChild, InheritedThreadsReadAsEndedAndTheirOwnersGoAway) {
  auto* pool = new krCore::threadpool(2, krCore::threadpool::MAX_QUEUE_SIZE);
  ASSERT_EQ(pool->start(), 2);
  probe_thread worker;
  ASSERT_EQ(worker.StartThread(), 1);
  ASSERT_TRUE(threadtest::signalled(worker.started));

  EXPECT_EQ(child_exit_code([&] {
              delete pool;  // waits for no thread of the parent's
              if (::WaitForSingleObject(worker.GetHandle(), 0) != 0) return 1;
              worker.StopThread(INFINITE);
              return 0;
            }),
            0);

  // The parent's own threads are untouched.
  EXPECT_EQ(::WaitForSingleObject(worker.GetHandle(), 0), 258u);
  EXPECT_EQ(worker.StopThread(threadtest::kStepMs), 0u);
  EXPECT_TRUE(pool->shutdown(threadtest::kStepMs));
  delete pool;
}

// The forking thread's own handle goes on naming a running thread.
TEST(ForkChild, TheForkingThreadStaysRunning) {
  probe_thread worker;
  krCore::manualresetevent forked;
  std::atomic<int> code{-3};
  worker.on_start = [&] {
    code = child_exit_code([&] {
      // Its own handle: signalled only when this thread ends.
      return ::WaitForSingleObject(worker.GetHandle(), 0) == 258u ? 0 : 1;
    });
    forked.signal();
  };
  ASSERT_EQ(worker.StartThread(), 1);
  ASSERT_TRUE(threadtest::signalled(forked));
  EXPECT_EQ(code.load(), 0);
  EXPECT_EQ(worker.StopThread(threadtest::kStepMs), 0u);
}

TEST(ForkChild, ClosesTheConfigurationDrivenLogger) {
  const fs::path dir = fs::temp_directory_path() / ("qmcore-fork-" + std::to_string(::getpid()));
  fs::create_directories(dir / "registry");
  ::setenv("KRCORE_REGISTRY_ROOT", (dir / "registry").c_str(), 1);
  ::setenv("KRCORE_COMMON_APPDATA", dir.c_str(), 1);
  krLogInitialize(L"ForkChild");

  EXPECT_EQ(child_exit_code([] { return krLogClose(); }), 0);

  krLogClose();
  ::unsetenv("KRCORE_REGISTRY_ROOT");
  ::unsetenv("KRCORE_COMMON_APPDATA");
  fs::remove_all(dir);
}
