// The debugger output listener on Linux: nothing, standard error, or a file
// opened once in append mode, as KRCORE_DEBUG_OUTPUT says. Each text is one
// write(2) where the kernel allows it, so texts of concurrent threads do not
// interleave within a file opened with O_APPEND.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logging/debug_output.h"
#include "foundation/process_calls.h"

namespace krCore::detail {
namespace {

// -1: silent. The descriptor stays open for the life of the process.
int listener_fd() noexcept {
  static const int fd = [] {
    const char* target = library_setting("KRCORE_DEBUG_OUTPUT");
    if (!target || !*target) return -1;
    if (std::strcmp(target, "stderr") == 0) return STDERR_FILENO;
    return ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }();
  return fd;
}

}  // namespace

bool debug_listener_ready() noexcept { return listener_fd() >= 0; }

void debug_listener_write(std::string_view utf8) noexcept {
  const int fd = listener_fd();
  const char* data = utf8.data();
  size_t size = utf8.size();
  while (fd >= 0 && size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace krCore::detail
