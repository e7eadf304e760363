// The demo agent as systemd runs it with Type=notify: readiness, status
// lines and watchdog keep-alives on the notification socket, its log in
// $LOGS_DIRECTORY, and a clean stop on SIGTERM announced by STOPPING=1.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "service/notify_receiver.h"

namespace {

TEST(QmagentUnderSystemd, ReportsReadyStatusWatchdogAndStop) {
  char tmp[] = "/tmp/qmagent-notify-XXXXXX";
  const std::string dir = ::mkdtemp(tmp);
  const std::string registry = dir + "/registry";  // empty: no logging key
  ASSERT_EQ(::mkdir(registry.c_str(), 0755), 0);
  krtest::notify_receiver manager(true);
  const pid_t agent = ::fork();
  ASSERT_GE(agent, 0);
  if (agent == 0) {
    ::setenv("LOGS_DIRECTORY", dir.c_str(), 1);
    ::setenv("KRCORE_REGISTRY_ROOT", registry.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "200000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    if (!::freopen("/dev/null", "w", stdout)) ::_exit(126);
    ::execl(QMAGENT_PATH, "qmagent", "--tail", "0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string log = dir + "/qmagent.0001.log.txt";
  bool ready = false, beat = false, fed = false;
  while (!(ready && beat && fed)) {
    const std::string message = manager.next();
    ASSERT_FALSE(message.empty()) << "the agent went quiet";
    if (message == "READY=1\nSTATUS=started, log " + log) ready = true;
    if (message.rfind("STATUS=running: heartbeat ", 0) == 0) beat = true;
    if (message == "WATCHDOG=1") fed = true;
  }
  ::kill(agent, SIGTERM);
  std::string message;
  do {
    message = manager.next();
    ASSERT_FALSE(message.empty()) << "no STOPPING=1";
  } while (message.rfind("STOPPING=1", 0) != 0);
  EXPECT_EQ(message, "STOPPING=1\nSTATUS=stopping (SIGTERM)");
  int status = 0;
  ASSERT_EQ(::waitpid(agent, &status, 0), agent);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  struct stat st {};
  EXPECT_EQ(::stat(log.c_str(), &st), 0) << log;
  EXPECT_GT(st.st_size, 0);
  (void)std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
