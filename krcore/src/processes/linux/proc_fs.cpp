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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "processes/process_table.h"
#include "sysutil/linux/executable_link.h"

namespace krCore::detail {
namespace {

// /proc, opened once and kept, so that every file below it is reached with
// openat from there instead of a path walked again from the root; -1 when
// it cannot be opened (errno set). The host may close descriptors it does
// not know (a daemon closing all but three), and the number may then stand
// for another folder: the descriptor is used only while it is still the
// folder it was, else /proc is opened again (the old number is the host's
// now, never closed here). No lock: threads that race each open their own,
// and one is kept.
struct proc_folder {
  std::atomic<int> fd{-1};
  std::atomic<std::uint64_t> device{0}, inode{0};
};

int proc_fd() {
  static proc_folder kept;
  int current = kept.fd.load(std::memory_order_acquire);
  struct stat st;
  if (current >= 0 && ::fstat(current, &st) == 0 &&
      static_cast<std::uint64_t>(st.st_dev) == kept.device.load(std::memory_order_relaxed) &&
      static_cast<std::uint64_t>(st.st_ino) == kept.inode.load(std::memory_order_relaxed))
    return current;
  const int opened = ::open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0 || ::fstat(opened, &st) != 0) {
    if (opened >= 0) ::close(opened);
    return -1;
  }
  kept.device.store(static_cast<std::uint64_t>(st.st_dev), std::memory_order_relaxed);
  kept.inode.store(static_cast<std::uint64_t>(st.st_ino), std::memory_order_relaxed);
  kept.fd.store(opened, std::memory_order_release);
  return opened;
}

// "<pid>/<leaf>" below /proc, in a caller's fixed buffer.
class proc_entry {
 public:
  proc_entry(unsigned long pid, const char* leaf) {
    char* end = std::to_chars(_text, _text + 24, pid).ptr;
    if (*leaf) *end++ = '/';
    const std::size_t n = std::min(std::strlen(leaf), sizeof _text - 1 - static_cast<std::size_t>(end - _text));
    std::memcpy(end, leaf, n);
    end[n] = 0;
  }
  const char* c_str() const { return _text; }

 private:
  char _text[48];
};

// The small file `leaf` of process `pid`, at most `size` bytes of it read
// into `buffer` in one positioned read (the files read here are generated
// whole by the kernel at the first read); -1 with errno, else the length.
ssize_t read_small_file(int proc, unsigned long pid, const char* leaf, char* buffer,
                        std::size_t size) {
  const int fd = ::openat(proc, proc_entry(pid, leaf).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  ssize_t n;
  do n = ::pread(fd, buffer, size, 0);
  while (n < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  errno = err;
  return n;
}

std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable's path, the kernel's " (deleted)" mark removed (a name
// that really ends so kept); false with errno.
bool executable_path(int proc, unsigned long pid, std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlinkat(proc, proc_entry(pid, "exe").c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return false;
  path = executable_from_link(std::string(buffer, static_cast<std::size_t>(n)),
                              "/proc/" + std::to_string(pid) + "/exe");
  return true;
}

bool process_exists(int proc, unsigned long pid) {
  struct stat st;
  return ::fstatat(proc, proc_entry(pid, "").c_str(), &st, 0) == 0;
}

}  // namespace

unsigned long list_process_ids(unsigned long* pids, std::size_t capacity, std::size_t& returned) {
  returned = 0;
  const int proc = proc_fd();
  const int listed = proc < 0 ? -1 : ::openat(proc, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
  if (!dir) {
    const unsigned long error = last_errno_as_win32();
    if (listed >= 0) ::close(listed);
    return error;
  }
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
  const int proc = proc_fd();
  if (proc < 0) return last_errno_as_win32();
  std::string path;
  if (!executable_path(proc, pid, path))
    return errno == ENOENT && !process_exists(proc, pid) ? kErrorInvalidParameter
                                                         : last_errno_as_win32();
  name = wide_from_file_name(base_name(path));
  return 0;
}

unsigned long process_name(unsigned long pid, bool full, std::wstring& name) {
  if (pid == 0) return kErrorInvalidParameter;
  const int proc = proc_fd();
  if (proc < 0) return last_errno_as_win32();
  std::string text;
  if (executable_path(proc, pid, text)) {
    name = wide_from_file_name(full ? text : base_name(text));
    return 0;
  }
  const bool no_memory = errno == ENOENT;
  unsigned long error = last_errno_as_win32();
  char buffer[4096];
  ssize_t n;
  // A task without memory of its own (a kernel thread, a zombie; the kernel
  // answers ENOENT for its executable) has no command line either: it goes
  // straight to its short name. Most entries of a listing are such.
  if (!no_memory) {
    if (!process_exists(proc, pid)) return kErrorInvalidParameter;
    // The first command-line argument.
    n = read_small_file(proc, pid, "cmdline", buffer, sizeof buffer);
    if (n >= 0) {
      text.assign(buffer, strnlen(buffer, static_cast<std::size_t>(n)));
      if (!text.empty()) {
        name = wide_from_file_name(full ? text : base_name(text));
        return 0;
      }
    } else {
      error = last_errno_as_win32();
    }
  }
  n = read_small_file(proc, pid, "comm", buffer, sizeof buffer);
  if (n >= 0) {
    text.assign(buffer, static_cast<std::size_t>(n));
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) {
      name = wide_from_file_name(text);
      return 0;
    }
  } else {
    error = last_errno_as_win32();
  }
  return process_exists(proc, pid) ? (error ? error : kErrorAccessDenied) : kErrorInvalidParameter;
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
