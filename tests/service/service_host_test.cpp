// service_host and service_notify: the stop signals SIGTERM and SIGINT, and
// the notification messages read back from a real AF_UNIX datagram socket
// bound where $NOTIFY_SOCKET points (a path, or an abstract '@' name).
#include <krcore/exceptions.h>
#include <krcore/service.h>

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <future>
#include <string>

#include "service/notify_receiver.h"

namespace {

using krCore::service_host;
using krtest::notify_receiver;

TEST(ServiceNotify, ReachesPathAndAbstractSockets) {
  for (const bool abstract : {false, true}) {
    notify_receiver manager(abstract);
    service_host host;
    EXPECT_EQ(host.ready("warming up"), 0UL);
    EXPECT_EQ(manager.next(), "READY=1\nSTATUS=warming up");
    EXPECT_EQ(host.status("42 beats"), 0UL);
    EXPECT_EQ(manager.next(), "STATUS=42 beats");
    EXPECT_EQ(host.stopping(), 0UL);
    EXPECT_EQ(manager.next(), "STOPPING=1");
  }
}

TEST(ServiceNotify, AnswersWithoutAManager) {
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(krCore::service_notify("READY=1"), 50UL);
  ::setenv("NOTIFY_SOCKET", "relative/name", 1);
  EXPECT_EQ(krCore::service_notify("READY=1"), 161UL);
  ::setenv("NOTIFY_SOCKET", "/nonexistent-dir/notify", 1);
  EXPECT_EQ(krCore::service_notify("READY=1"), 2UL);
  ::unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceWatchdog, IntervalIsOnlyForThisProcess) {
  ::setenv("WATCHDOG_USEC", "3000000", 1);
  ::unsetenv("WATCHDOG_PID");
  EXPECT_EQ(krCore::service_watchdog_usec(), 3000000U);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  EXPECT_EQ(krCore::service_watchdog_usec(), 3000000U);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
  EXPECT_EQ(krCore::service_watchdog_usec(), 0U);
  ::unsetenv("WATCHDOG_PID");
  ::setenv("WATCHDOG_USEC", "-5", 1);
  EXPECT_EQ(krCore::service_watchdog_usec(), 0U);
  ::unsetenv("WATCHDOG_USEC");
  EXPECT_EQ(krCore::service_watchdog_usec(), 0U);
}

// The watchdog is fed while the health check says so, and starved when it
// does not; a stop signal from outside ends the wait.
TEST(ServiceWatchdog, FedWhileHealthyAndStarvedWhenNot) {
  notify_receiver manager(false);
  ::setenv("WATCHDOG_USEC", "20000", 1);
  service_host host;
  std::atomic<bool> healthy{true};
  std::atomic<int> checks{0};
  host.set_health_check([&] {
    ++checks;
    return healthy.load();
  });
  auto waiting = std::async(std::launch::async, [&] { return host.wait_for_stop(0); });
  EXPECT_EQ(manager.next(), "WATCHDOG=1");
  EXPECT_EQ(manager.next(), "WATCHDOG=1");
  // A check already under way may still feed once; one begun after this
  // store may not, so the socket is drained once the next check has begun.
  healthy = false;
  const int before = checks.load();
  while (checks.load() < before + 2) ::sched_yield();
  while (!manager.nothing_waiting()) {
  }
  const int seen = checks.load();
  while (checks.load() < seen + 3) ::sched_yield();
  EXPECT_TRUE(manager.nothing_waiting()) << "fed while unhealthy";
  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(waiting.get(), SIGTERM);
  ::unsetenv("WATCHDOG_USEC");
}

TEST(ServiceHost, StopSignalsEndTheWaitAndOthersAreLeftAlone) {
  static std::atomic<int> host_usr1;
  host_usr1 = 0;
  struct sigaction usr1 {};
  usr1.sa_handler = [](int) { ++host_usr1; };
  ASSERT_EQ(::sigaction(SIGUSR1, &usr1, nullptr), 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGINT, &ignore, &before), 0);
  {
    service_host host;
    EXPECT_THROW({ service_host second; }, krException);
    EXPECT_EQ(host.wait_for_stop(0.01), 0);  // the time ran out
    ::raise(SIGUSR1);
    EXPECT_EQ(host_usr1.load(), 1);
    EXPECT_FALSE(host.stop_requested());
    // A request before the wait is kept for it.
    ::raise(SIGINT);
    EXPECT_TRUE(host.stop_requested());
    EXPECT_EQ(host.wait_for_stop(0), SIGINT);
    EXPECT_FALSE(host.stop_requested());
    auto waiting = std::async(std::launch::async, [&] { return host.wait_for_stop(0); });
    ::kill(::getpid(), SIGTERM);
    EXPECT_EQ(waiting.get(), SIGTERM);
  }
  // The previous disposition is back, and another host can be made.
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
  ::sigaction(SIGINT, &before, nullptr);
  service_host again;
}

}  // namespace
