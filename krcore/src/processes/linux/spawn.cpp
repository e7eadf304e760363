// Starting children with clone3(CLONE_PIDFD): the process descriptor comes
// with the child, so no window exists in which a quick child can end and
// be collected by the host (a SIGCHLD handler that reaps every child, or
// SIGCHLD ignored) before the library holds it, and no pid is ever
// signalled that might by then name another process.
//
// The child is a copy of the calling process that runs only
// async-signal-safe calls until it starts the program: it sets every
// caught signal back to its default action, restores the caller's signal
// mask, changes directory and tries the program (each PATH candidate, made
// beforehand by the parent). The caller is held (CLONE_VFORK) until the
// child has started the program or ended; a failure is left as its errno in
// a shared page, so the parent learns the outcome before returning, as
// posix_spawn reports it. (No pipe: a fork of another thread could inherit
// its writing end and hold the caller's read for as long as it lives.)
// Where clone3 is filtered (ENOSYS or EPERM from a container's profile),
// the older clone call gives the same.
#include "processes/linux/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "foundation/process_calls.h"

extern char** environ;

namespace krCore::detail {
namespace {

constexpr std::uint64_t kClonePidfd = 0x1000;  // CLONE_PIDFD
constexpr std::uint64_t kCloneVfork = 0x4000;  // CLONE_VFORK

// The kernel's clone3 argument block, first version (64 bytes).
struct clone3_args {
  std::uint64_t flags;
  std::uint64_t pidfd;
  std::uint64_t child_tid;
  std::uint64_t parent_tid;
  std::uint64_t exit_signal;
  std::uint64_t stack;
  std::uint64_t stack_size;
  std::uint64_t tls;
};

// The paths to try for `program`: itself, or with `search` and no slash in
// it, each PATH folder's entry (an empty folder is the current one). A
// process started with raised rights searches only the standard folders,
// never a PATH its starter chose.
std::vector<std::string> candidates(const std::string& program, bool search) {
  if (!search || program.find('/') != std::string::npos) return {program};
  const char* path = library_setting("PATH");
  const std::string folders = path ? path : "/bin:/usr/bin";
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = folders.find(':', start);
    const std::string folder = folders.substr(start, colon - start);
    out.push_back(folder.empty() ? program : folder + "/" + program);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return out;
}

// The child's part; never returns.
[[noreturn]] void run_child(const std::vector<const char*>& paths, char* const* argv,
                            const char* directory, int stdio, const sigset_t& mask,
                            volatile int* report) {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction action;
    if (sig == SIGKILL || sig == SIGSTOP || ::sigaction(sig, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_IGN || action.sa_handler == SIG_DFL) continue;
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
    ::sigaction(sig, &action, nullptr);
  }
  ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  int error = 0;
  // dup2 of a descriptor onto itself would leave its close-on-exec flag.
  const int from = stdio == 0 || stdio == 1 ? ::fcntl(stdio, F_DUPFD, 3) : stdio;
  if ((stdio >= 0 && from < 0) || (directory && ::chdir(directory) != 0) ||
      (from >= 0 && (::dup2(from, 0) != 0 || ::dup2(from, 1) != 1))) {
    error = errno;
  } else {
    // As the shell searches: a program found but not executable is
    // remembered while later folders are tried; any other failure than
    // "not here" ends the search.
    bool denied = false;
    error = ENOENT;
    for (const char* path : paths) {
      ::execve(path, argv, environ);
      if (errno == EACCES) {
        denied = true;
      } else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && errno != ENAMETOOLONG) {
        error = errno;
        break;
      }
    }
    if (error == ENOENT && denied) error = EACCES;
  }
  *report = error;
  ::_exit(127);
}

}  // namespace

int spawn_with_pidfd(const std::string& program, bool search, char* const* argv,
                     const std::string& directory, pid_t& pid, int& pidfd, int stdio) {
  const std::vector<std::string> found = candidates(program, search);
  std::vector<const char*> paths;
  paths.reserve(found.size());
  for (const std::string& p : found) paths.push_back(p.c_str());
  void* page = ::mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return errno;
  volatile int* report = static_cast<volatile int*>(page);
  *report = 0;

  // No handler of the caller may run in the copy before it is reset there.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  int fd = -1;
  clone3_args args{};
  args.flags = kClonePidfd | kCloneVfork;
  args.pidfd = reinterpret_cast<std::uintptr_t>(&fd);
  args.exit_signal = SIGCHLD;
  long child = ::syscall(SYS_clone3, &args, sizeof args);
  if (child < 0 && (errno == ENOSYS || errno == EPERM)) {
    // clone(flags, stack, parent_tid, child_tid, tls): the descriptor comes
    // back through parent_tid.
    child = ::syscall(SYS_clone, static_cast<unsigned long>(kClonePidfd | kCloneVfork | SIGCHLD),
                      nullptr, &fd, nullptr, 0UL);
  }
  if (child == 0)
    run_child(paths, argv, directory.empty() ? nullptr : directory.c_str(), stdio, previous,
              report);
  const int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  const int error = *report;
  ::munmap(page, sizeof(int));
  if (child < 0) return clone_error;
  if (error == 0) {
    pid = static_cast<pid_t>(child);
    pidfd = fd;
    return 0;
  }
  // It never ran the program: collect it (unless the host already did).
  siginfo_t info;
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd), &info, WEXITED) != 0 &&
         errno == EINTR) {
  }
  ::close(fd);
  return error;
}

}  // namespace krCore::detail
