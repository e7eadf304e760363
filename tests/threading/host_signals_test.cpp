// The real-time signals the library uses for its own ends (a thread's forced
// end, and lowering a privilege on another thread) stay the host's for
// everything the library did not send: after the library has used them, a
// host handler installed before still gets the host's own.
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <krcore/security.h>
#include <signal.h>
#include <sys/capability.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "foundation/waitable.h"
#include "threading/native_thread.h"

namespace {

std::atomic<int> g_host_runs[2];

void host_handler(int sig, siginfo_t*, void*) { g_host_runs[sig == SIGRTMAX - 3 ? 0 : 1]++; }

unsigned wait_for_event(void* event) {
  ::WaitForSingleObject(*static_cast<krCore::manualresetevent*>(event), INFINITE);
  return 0;
}

// Raises a privilege on another thread and switches it off here, which asks
// that thread by signal. False when the privilege could not be raised.
bool lower_on_another_thread() {
  cap_t caps = cap_get_proc();
  cap_value_t nice[] = {CAP_SYS_NICE};
  cap_set_flag(caps, CAP_EFFECTIVE, 1, nice, CAP_CLEAR);
  cap_set_proc(caps);
  cap_free(caps);
  krCore::manualresetevent raised, lowered;
  krCore::auto_privilege* scope = nullptr;
  std::thread raiser([&] {
    scope = new krCore::auto_privilege(L"SeIncreaseBasePriorityPrivilege");
    raised.signal();
    ::WaitForSingleObject(lowered, INFINITE);
  });
  ::WaitForSingleObject(raised, INFINITE);
  scope->set(false);
  const bool ok = GetLastError() == 0;
  lowered.signal();
  raiser.join();
  delete scope;
  return ok;
}

// In a fresh child: 0 when both host handlers ran once each for the host's
// own signals after the library had used both, else which step failed.
int host_keeps_its_signals() {
  struct sigaction sa {};
  sa.sa_sigaction = &host_handler;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGRTMAX - 3, &sa, nullptr) != 0 || sigaction(SIGRTMAX - 4, &sa, nullptr) != 0)
    return 1;
  krCore::manualresetevent never;
  DWORD id = 0;
  HANDLE thread = krCore::detail::create_thread_gated(&wait_for_event, &never, &id);
  if (!thread || !krCore::detail::resume_thread(thread)) return 2;
  if (krCore::detail::terminate_thread(thread) != 0) return 3;
  krCore::detail::close_handle(thread);
  if (!lower_on_another_thread()) return 4;
  if (g_host_runs[0] != 0 || g_host_runs[1] != 0) return 5;  // the library's went to the host
  raise(SIGRTMAX - 3);
  raise(SIGRTMAX - 4);
  if (g_host_runs[0] != 1) return 6;
  if (g_host_runs[1] != 1) return 7;
  return 0;
}

TEST(HostSignalsDeathTest, TheLibrarysRealTimeSignalsPassTheHostsOwnOn) {
  if (geteuid() != 0) GTEST_SKIP() << "raising a privilege needs root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(host_keeps_its_signals()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
