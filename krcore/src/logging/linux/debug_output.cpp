// The debugger output listener on Linux: nothing, standard error, or a file
// opened once in append mode, as KRCORE_DEBUG_OUTPUT says. Each text is one
// write(2) where the kernel allows it, so texts of concurrent threads do not
// interleave within a file opened with O_APPEND.
//
// The file is named by whoever set the environment, and the process may run
// as root: it is opened like any file others name (without blocking, never
// through a final link, only when it is a regular file), so a FIFO cannot
// hold every logging thread and a planted link cannot redirect the appends.
// A refused file leaves the channel silent, with one line on standard error
// that names it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/linux/untrusted_file.h"
#include "foundation/process_calls.h"
#include "logging/debug_output.h"

namespace krCore::detail {
namespace {

void write_all(int fd, const char* data, size_t size) noexcept {
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

int open_listener(const char* target) noexcept {
  try {
    unique_fd fd;
    struct stat st {};
    const file_result opened = open_untrusted_for_write(AT_FDCWD, target, O_APPEND, 0644, fd, st);
    if (opened) return fd.release();
    const std::string line = "KRCORE_DEBUG_OUTPUT: " + opened.diagnostic + " (error " +
                             std::to_string(opened.code) + "); the debugger output stays silent\n";
    write_all(STDERR_FILENO, line.data(), line.size());
  } catch (...) {
  }
  return -1;
}

// -1: silent. The descriptor stays open for the life of the process.
int listener_fd() noexcept {
  static const int fd = [] {
    const char* target = library_setting("KRCORE_DEBUG_OUTPUT");
    if (!target || !*target) return -1;
    if (std::strcmp(target, "stderr") == 0) return STDERR_FILENO;
    return open_listener(target);
  }();
  return fd;
}

}  // namespace

bool debug_listener_ready() noexcept { return listener_fd() >= 0; }

void debug_listener_write(std::string_view utf8) noexcept {
  write_all(listener_fd(), utf8.data(), utf8.size());
}

}  // namespace krCore::detail
