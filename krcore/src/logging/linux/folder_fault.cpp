// Why a log file cannot be made, when a folder is at fault (Linux): the
// nearest folder on the file's path that exists is the one that decides,
// and it is judged with this process's effective account.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/utf.h"
#include "logging/loud_failure.h"

namespace krCore::detail {

namespace {

// The C library's text for an error number (strerror's may be overwritten
// by another thread).
std::string errno_text(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);  // the GNU form returns the text
}

}  // namespace

std::string folder_fault(const std::wstring& path) {
  std::string folder = file_name_from_wide(path);
  bool made_below = false;  // a folder missing below the one judged
  for (;;) {
    const std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return {};
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return "[" + folder + "] is not a folder";
      break;
    }
    if (errno != ENOENT)
      return "the folder [" + folder + "] cannot be reached (" + errno_text(errno) + ")";
    made_below = true;
    if (folder == "/") return {};
  }
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return {};
  return "the folder [" + folder + "] may not be written by this account (" +
         errno_text(errno) + (made_below ? "), so the folders below it cannot be made" : ")");
}

}  // namespace krCore::detail
