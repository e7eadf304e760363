// The child program of the process tests. Modes:
//   wait <fd>          report ready on fd, then wait; SIGTERM ends it
//   ignore <fd>        ignore SIGTERM, report ready, then wait
//   cooperate <fd>     on SIGTERM exit with code 3, having reported ready
//   exit <code>        exit at once with <code>
//   orphan <fd>        start a child that exits with 5 at once, write its pid
//                      on fd and wait without collecting it
//   asuser <uid> <pid> become <uid>, try terminateprocessbyid(<pid>) and
//                      exit with 0 when it succeeded, else its last error
//   openas <uid> <pid> become <uid> (pid "self": its own); exit with the last error of opening
//                      <pid> for termination (0 if that was allowed), or 90
//                      when it may not even be opened to wait for it
#include <krcore/processes.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void ready(const char* fd_text) {
  const int fd = std::atoi(fd_text);
  const char byte = 'r';
  if (::write(fd, &byte, 1) != 1) std::_Exit(100);
  ::close(fd);
}

void on_term(int) { ::_exit(3); }

[[noreturn]] void wait_forever() {
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 99;
  const char* mode = argv[1];
  if (std::strcmp(mode, "exit") == 0) return std::atoi(argv[2]);
  if (std::strcmp(mode, "asuser") == 0 && argc >= 4) {
    if (::setgid(static_cast<gid_t>(std::atoi(argv[2]))) != 0 ||
        ::setuid(static_cast<uid_t>(std::atoi(argv[2]))) != 0)
      return 98;
    const bool gone = krCore::terminateprocessbyid(std::strtoul(argv[3], nullptr, 10), 50);
    return gone ? 0 : static_cast<int>(GetLastError() & 0x7F);
  }
  if (std::strcmp(mode, "openas") == 0 && argc >= 4) {
    if (::setgid(static_cast<gid_t>(std::atoi(argv[2]))) != 0 ||
        ::setuid(static_cast<uid_t>(std::atoi(argv[2]))) != 0)
      return 98;
    const DWORD pid = std::strcmp(argv[3], "self") == 0 ? static_cast<DWORD>(::getpid())
                                                        : std::strtoul(argv[3], nullptr, 10);
    HANDLE waitable = OpenProcess(SYNCHRONIZE, 0, pid);
    if (!waitable) return 90;
    CloseHandle(waitable);
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, 0, pid);
    if (h) CloseHandle(h);
    return h ? 0 : static_cast<int>(GetLastError() & 0x7F);
  }
  if (std::strcmp(mode, "orphan") == 0) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(5);
    const std::string text = std::to_string(pid);
    if (::write(std::atoi(argv[2]), text.data(), text.size()) <= 0) return 100;
    ::close(std::atoi(argv[2]));
    wait_forever();
  }
  if (std::strcmp(mode, "ignore") == 0) ::signal(SIGTERM, SIG_IGN);
  if (std::strcmp(mode, "cooperate") == 0) ::signal(SIGTERM, on_term);
  ready(argv[2]);
  wait_forever();
}
