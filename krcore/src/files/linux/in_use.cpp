// "In use" on Linux: there are no share modes, so a file counts as in use
// while a log-file writer holds its exclusive advisory lock (flock), the
// same lock the log files take; a shared lock that cannot be had says so.
// A file's own mode never keeps its folder's owner from removing it, so
// nothing needs changing before a removal.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "files/file_services.h"

namespace krCore::detail {

bool held_by_writer(const boost::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

void allow_file_removal(const boost::filesystem::path&) {}

}  // namespace krCore::detail
