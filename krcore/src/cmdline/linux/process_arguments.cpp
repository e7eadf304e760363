// The process's own arguments on Linux: /proc/self/cmdline holds them as
// the kernel passed them to the program, NUL-separated, with empty
// arguments kept. Where /proc is not mounted (a chroot, a hardened
// container) the arguments the C library passed to the library's start-up
// call are used instead: the same vector the program's main received.
#include "cmdline/process_arguments.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/compiler.h"
#include "foundation/utf.h"

namespace krCore::detail {
namespace {

int g_argc = 0;
char** g_argv = nullptr;

void keep_arguments(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
}

KRCORE_START_UP_CALL void (*const g_keep_arguments)(int, char**, char**) = keep_arguments;

bool arguments_from_start_up(std::vector<std::wstring>& args) {
  if (!g_argv) return false;
  for (int i = 0; i < g_argc && g_argv[i]; ++i) args.push_back(wide_from_file_name(g_argv[i]));
  return !args.empty();
}

}  // namespace

bool process_arguments(std::vector<std::wstring>& args) {
  args.clear();
  const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return arguments_from_start_up(args);
  std::string bytes;
  char buf[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return arguments_from_start_up(args);
    }
    if (got == 0) break;
    bytes.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
  // Every argument, the last included, ends with a NUL.
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    args.push_back(wide_from_file_name(std::string_view(bytes).substr(start, end - start)));
    start = end + 1;
  }
  return !args.empty();
}

}  // namespace krCore::detail
