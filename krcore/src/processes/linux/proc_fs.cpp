// The process table from /proc: ids, executable names, boot time and the
// clocks the management queries report.
//
// Names: /proc/<pid>/exe is the executable as the kernel knows it, but it
// may be read only by a process allowed to trace the target; the command
// line and the kernel's short name (comm, 15 characters) are readable by
// everyone, so they name processes of other users.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "processes/process_table.h"
#include "sysutil/linux/executable_link.h"

namespace krCore::detail {
namespace {

std::string proc_path(unsigned long pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// The whole small file, or false with errno set.
bool read_small_file(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  const int err = errno;
  ::close(fd);
  if (n < 0) {
    errno = err;
    return false;
  }
  text.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable's path, the kernel's " (deleted)" mark removed (a name
// that really ends so kept); false with errno.
bool executable_path(unsigned long pid, std::string& path) {
  char buffer[4096];
  const std::string link = proc_path(pid, "exe");
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return false;
  path = executable_from_link(std::string(buffer, static_cast<std::size_t>(n)), link);
  return true;
}

bool process_exists(unsigned long pid) {
  struct stat st;
  return ::stat(proc_path(pid, "").c_str(), &st) == 0;
}

}  // namespace

unsigned long list_process_ids(unsigned long* pids, std::size_t capacity, std::size_t& returned) {
  returned = 0;
  DIR* dir = ::opendir("/proc");
  if (!dir) return last_errno_as_win32();
  while (returned < capacity) {
    const struct dirent* entry = ::readdir(dir);
    if (!entry) break;
    const char* name = entry->d_name;
    if (*name < '1' || *name > '9') continue;
    unsigned long pid = 0;
    for (; *name >= '0' && *name <= '9'; ++name) pid = pid * 10 + static_cast<unsigned long>(*name - '0');
    if (*name == 0) pids[returned++] = pid;
  }
  ::closedir(dir);
  return 0;
}

unsigned long process_executable_base_name(unsigned long pid, std::wstring& name) {
  std::string path;
  if (!executable_path(pid, path)) return errno == ENOENT && !process_exists(pid) ? kErrorInvalidParameter
                                                                                   : last_errno_as_win32();
  name = wide_from_file_name(base_name(path));
  return 0;
}

unsigned long process_name(unsigned long pid, bool full, std::wstring& name) {
  if (pid == 0) return kErrorInvalidParameter;
  std::string text;
  if (executable_path(pid, text)) {
    name = wide_from_file_name(full ? text : base_name(text));
    return 0;
  }
  unsigned long error = last_errno_as_win32();
  if (!process_exists(pid)) return kErrorInvalidParameter;
  // The first command-line argument (empty for kernel threads and zombies).
  if (read_small_file(proc_path(pid, "cmdline"), text)) {
    text.resize(std::strlen(text.c_str()));
    if (!text.empty()) {
      name = wide_from_file_name(full ? text : base_name(text));
      return 0;
    }
  } else {
    error = last_errno_as_win32();
  }
  if (read_small_file(proc_path(pid, "comm"), text)) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) {
      name = wide_from_file_name(text);
      return 0;
    }
  } else {
    error = last_errno_as_win32();
  }
  return process_exists(pid) ? (error ? error : kErrorAccessDenied) : kErrorInvalidParameter;
}

unsigned long boot_time_seconds(long long& seconds) {
  const int fd = ::open("/proc/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_errno_as_win32();
  std::string text;
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  const std::size_t at = text.find("\nbtime ");
  if (at == std::string::npos) return kErrorInvalidData;
  seconds = std::strtoll(text.c_str() + at + 7, nullptr, 10);
  return 0;
}

unsigned long long boottime_ms() {
  struct timespec t;
  ::clock_gettime(CLOCK_BOOTTIME, &t);
  return static_cast<unsigned long long>(t.tv_sec) * 1000ull +
         static_cast<unsigned long long>(t.tv_nsec / 1000000);
}

long local_utc_offset_minutes(long long when) {
  ::tzset();
  const time_t t = static_cast<time_t>(when);
  struct tm local;
  if (!::localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff / 60;
}

}  // namespace krCore::detail
