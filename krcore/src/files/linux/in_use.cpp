// "In use" on Linux: there are no share modes, so a file counts as in use
// while a log-file writer holds its exclusive advisory lock (flock), the
// same lock the log files take; a shared lock that cannot be had says so.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>

#include <cerrno>

#include "files/file_services.h"

namespace krCore::detail {
namespace {

bool held_by_writer(const boost::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

bool regular_file(const boost::filesystem::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

[[noreturn]] void throw_busy(const boost::filesystem::path& path) {
  throw boost::filesystem::filesystem_error(
      "the file is held open by a log writer", path,
      boost::system::error_code(EBUSY, boost::system::system_category()));
}

}  // namespace

void throw_if_in_use(const boost::filesystem::path& path) {
  if (regular_file(path)) {
    if (held_by_writer(path)) throw_busy(path);
    return;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  boost::system::error_code ec;
  for (boost::filesystem::recursive_directory_iterator it(path, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (regular_file(it->path()) && held_by_writer(it->path())) throw_busy(it->path());
  }
}

}  // namespace krCore::detail
