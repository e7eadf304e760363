// A library thread whose signal stack the system refuses (an address-space
// or mapping limit): the thread cannot translate its faults, so it runs
// nothing, and says so — a pool leaves it out, a worker's thread ends with
// the code — instead of letting the refusal out of its start routine, which
// ends the whole process.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <krcore/se_translator.h>

#include "probe_thread.h"

namespace {

// From now on the kernel answers ENOMEM to every stack mapping of `length`
// bytes that this thread, and threads it starts later, ask for.
bool refuse_stack_maps_of(std::uint32_t length) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mmap, 0, 5),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),  // low half
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, length, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[3])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, MAP_STACK, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOMEM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The library's signal stack: 64 KiB and a guard page.
std::uint32_t signal_stack_length() {
  return 64 * 1024 + static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
}

// In a child: this thread translates already (its stack was mapped before
// the refusal); the threads started afterwards cannot. Exit status: 0 when
// all went as it should, else the number of the first check that failed.
int start_without_signal_stacks() {
  se_translator mine;
  if (!refuse_stack_maps_of(signal_stack_length())) return 1;
  {
    krCore::threadpool pool(2, krCore::threadpool::MAX_QUEUE_SIZE);
    if (pool.start() != 0) return 2;  // no thread that runs items
    pool.shutdown(10000);
  }
  {
    krCore::ThreadpoolDynamic pool(2, krCore::ThreadpoolDynamic::MAX_QUEUE_SIZE);
    if (pool.start() != 0) return 3;
    pool.shutdown(10000);
  }
  threadtest::probe_thread worker;
  if (worker.StartThread() != 1) return 4;
  if (!threadtest::signalled(worker.GetHandle())) return 5;  // it ended
  if (threadtest::signalled(worker.started, 0)) return 6;    // without running a hook
  return 0;
}

// Whether a new thread has a signal stack before the library gives it one
// (a sanitizer's runtime does that); the library may then map none.
bool threads_come_with_a_signal_stack() {
  bool has = false;
  std::thread([&] {
    stack_t current;
    has = sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE);
  }).join();
  return has;
}

TEST(ThreadStartDeathTest, ThreadsWithoutASignalStackEndWithoutEndingTheProcess) {
  if (threads_come_with_a_signal_stack()) GTEST_SKIP() << "every thread has a signal stack already";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(start_without_signal_stacks()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
