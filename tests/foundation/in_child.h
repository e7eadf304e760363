// Test support: running a piece of a test in a forked child, so that a
// fault, a hang (ended by an alarm the body sets) or a change of account
// is reported instead of taking the test runner down with it.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// Runs `body` (returning an exit code) in a child and returns the child's
// wait status. The child never returns into the test runner; an exception
// that escapes `body` ends it with 99.
template <class F>
int child_status(F body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// Runs `body` in a child and returns its exit code, or -1 when it did not
// exit by itself.
template <class F>
int in_child(F body) {
  const int status = child_status(body);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits up to `ms` for the child `pid` to end and returns its exit code; -1
// when it ended otherwise, or did not end in time (it is killed then).
inline int exit_code_within(pid_t pid, int ms) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  struct pollfd p = {fd, POLLIN, 0};
  const bool ended = fd >= 0 && ::poll(&p, 1, ms) == 1;
  if (fd >= 0) ::close(fd);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
