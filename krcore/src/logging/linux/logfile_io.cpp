// The Linux half of the log files.
//
// Linux has no share modes, so the writer holds an exclusive flock on its
// file and the library's renames and removals probe with a shared flock
// first: a held lock means another writer (32). flock may degrade on
// network file systems, so the file the process has open is also recognised
// by its device and inode. Write-through is O_DSYNC; flushing is fdatasync.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"
#include "logging/debug_output.h"
#include "logging/logfile_io.h"

namespace krCore::detail {
namespace {

constexpr unsigned long kErrorDiskFull = 112;
constexpr unsigned long kErrorFileTooLarge = 223;

file_identity identity_of(const struct stat& st) {
  return file_identity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                       true};
}

bool same_file(const file_identity& a, const file_identity& b) {
  return a.valid && b.valid && a.device == b.device && a.inode == b.inode;
}

// A probe of one existing file: a shared lock taken and held for the
// caller's step, or the reason it may not be touched (another writer holds
// it, it is the open file, or it is not a regular file: 13). A missing
// file is not probed (the step itself reports it).
class probe {
 public:
  probe(const std::string& path, const file_identity& open) {
    _fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (_fd < 0) {
      // A link is no log file of ours, whatever its name says.
      if (errno == ELOOP) _error = kErrorInvalidData;
      return;
    }
    struct stat st;
    if (::fstat(_fd, &st) != 0) {
      _error = last_errno_as_win32();
    } else if (!S_ISREG(st.st_mode)) {
      // Nor is a folder, FIFO or device named like one: it is never moved
      // or removed as if it were.
      _error = kErrorInvalidData;
    } else if (same_file(identity_of(st), open)) {
      _error = kErrorSharingViolation;
    } else if (::flock(_fd, LOCK_SH | LOCK_NB) != 0) {
      _error = errno == EWOULDBLOCK ? kErrorSharingViolation : last_errno_as_win32();
    }
  }
  ~probe() {
    if (_fd >= 0) ::close(_fd);
  }
  probe(const probe&) = delete;
  probe& operator=(const probe&) = delete;
  unsigned long error() const { return _error; }

 private:
  int _fd = -1;
  unsigned long _error = 0;
};

// The process's file-size limit (RLIMIT_FSIZE) in bytes; UINT64_MAX when
// there is none.
std::uint64_t file_size_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

// For the scope of a write that may cross the file-size limit: SIGXFSZ,
// whose default action ends the process, is blocked on the calling thread
// (the kernel sends it to the writing thread), so the write fails with
// EFBIG instead; a signal the write left pending is taken before the mask
// is restored. The process's disposition is never touched.
class file_size_signal_held {
 public:
  file_size_signal_held() {
    sigemptyset(&_signal);
    sigaddset(&_signal, SIGXFSZ);
    ::pthread_sigmask(SIG_BLOCK, &_signal, &_previous);
    sigset_t pending;
    _was_pending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1;
  }
  ~file_size_signal_held() {
    if (!_was_pending) {
      const struct timespec now {};
      while (::sigtimedwait(&_signal, nullptr, &now) == SIGXFSZ) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
  }
  file_size_signal_held(const file_size_signal_held&) = delete;
  file_size_signal_held& operator=(const file_size_signal_held&) = delete;

 private:
  sigset_t _signal;
  sigset_t _previous;
  bool _was_pending = false;
};

// Writes every part at the descriptor's position; a short write resumes
// mid-part and an interrupted one is repeated. On failure `partial` is what
// the kernel took of the part it stopped in (0 when it stopped between
// parts). A write that may cross the file-size limit (`near_limit`, or
// any after a short one) holds SIGXFSZ off.
unsigned long write_all(int fd, const std::string_view* parts, std::size_t count,
                        std::size_t& partial, bool near_limit) {
  std::optional<file_size_signal_held> held;
  if (near_limit) held.emplace();
  constexpr std::size_t kMaxVectors = 64;
  struct iovec vectors[kMaxVectors];
  std::size_t next = 0;     // first part not yet handed to the kernel
  std::size_t skipped = 0;  // bytes of parts[next] already written
  partial = 0;
  while (next < count) {
    std::size_t n = 0;
    for (std::size_t i = next; i < count && n < kMaxVectors; ++i, ++n) {
      const std::size_t offset = i == next ? skipped : 0;
      vectors[n].iov_base = const_cast<char*>(parts[i].data() + offset);
      vectors[n].iov_len = parts[i].size() - offset;
    }
    const ssize_t written = n == 1 ? ::write(fd, vectors[0].iov_base, vectors[0].iov_len)
                                   : ::writev(fd, vectors, static_cast<int>(n));
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      partial = skipped;
      // A regular file that takes nothing has no room left.
      return written == 0 ? kErrorDiskFull : last_errno_as_win32();
    }
    std::size_t asked = 0;
    for (std::size_t i = 0; i < n; ++i) asked += vectors[i].iov_len;
    if (static_cast<std::size_t>(written) < asked && !held) held.emplace();
    // Step over what the kernel took; a short write resumes mid-part.
    auto left = static_cast<std::size_t>(written);
    while (next < count && left >= parts[next].size() - skipped) {
      left -= parts[next].size() - skipped;
      skipped = 0;
      ++next;
    }
    skipped += left;
  }
  return 0;
}

// Copies `from` to `to` (replacing it) for a rename across file systems.
unsigned long copy_file(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) return last_errno_as_win32();
  // Never truncate through a link planted at the target's name.
  const int out =
      ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (out < 0) {
    const unsigned long error = last_errno_as_win32();
    ::close(in);
    return error;
  }
  unsigned long error = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = last_errno_as_win32();
      break;
    }
    const std::string_view part(buffer, static_cast<std::size_t>(n));
    std::size_t partial = 0;
    error = write_all(out, &part, 1, partial, false);
    if (error != 0) break;
  }
  ::close(in);
  if (::close(out) != 0 && error == 0) error = last_errno_as_win32();
  return error;
}

// The descriptor in a log_file's opaque handle.
int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

void log_file::close() noexcept {
  if (_handle != kClosed) ::close(fd_of(_handle));
  _handle = kClosed;
}

unsigned long log_file::open(const std::wstring& path, bool write_through, bool keep_content,
                             file_identity& identity, std::uint64_t& size) {
  close();
  // The folder may be one others can write to: a link planted at the
  // current file's name must not make a privileged writer truncate or
  // write its target, nor a FIFO hold it.
  unique_fd opened;
  struct stat st {};
  std::string name = file_name_from_wide(path);
  const file_result result =
      open_untrusted_for_write(AT_FDCWD, name, write_through ? O_DSYNC : 0, 0644, opened, st);
  if (!result) {
    debug_output("log_file::open - " + result.diagnostic + "\r\n");
    return result.code;
  }
  const int fd = opened.release();
  // Held from here, so that every early return below closes it.
  _handle = fd;
  unsigned long error = 0;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? kErrorSharingViolation : last_errno_as_win32();
  } else if ((!keep_content && ::ftruncate(fd, 0) != 0) || ::fstat(fd, &st) != 0 ||
             (keep_content && ::lseek(fd, 0, SEEK_END) < 0)) {
    // Ours now: a fresh file starts empty; one whose content must be kept
    // (it could not be moved aside) is continued at its end.
    error = last_errno_as_win32();
  }
  if (error != 0) {
    close();
    return error;
  }
  identity = identity_of(st);
  size = static_cast<std::uint64_t>(st.st_size);
  _position = size;
  _sizeLimit = file_size_limit();
  _name = std::move(name);
  _opened = identity;
  return 0;
}

unsigned long log_file::write(const std::string_view* parts, std::size_t count) {
  const int fd = fd_of(_handle);
  std::size_t total = parts[0].size();
  for (std::size_t i = 1; i < count; ++i) total += parts[i].size();
  const bool near_limit = _position + total > _sizeLimit;
  if (count == 1 && !near_limit) {
    // One part, a lone writer's line: one call, without write_all's room
    // for gathering, and when the kernel takes it all nothing to step over.
    const ssize_t written = ::write(fd, parts[0].data(), parts[0].size());
    if (written == static_cast<ssize_t>(total)) {
      _position += total;
      return 0;
    }
    // Anything else (short, interrupted, failed): the careful way, which
    // the kernel's file position makes safe to start again (a short write
    // is resumed, a failed one cut back).
    if (written > 0) ::lseek(fd, -written, SEEK_CUR);
  }
  std::size_t partial = 0;
  const unsigned long error = write_all(fd, parts, count, partial, near_limit || count == 1);
  off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (error != 0 && partial > 0 && end >= static_cast<off_t>(partial)) {
    // The part the write stopped in is cut back off: a line is in the file
    // whole or not at all, so the next line never continues a torn one.
    const off_t cut = end - static_cast<off_t>(partial);
    if (::ftruncate(fd, cut) == 0 && ::lseek(fd, cut, SEEK_SET) == cut) end = cut;
  }
  if (end >= 0) _position = static_cast<std::uint64_t>(end);
  if (error == 0) return 0;
  std::string why;
  if (error == kErrorFileTooLarge) {
    why = "reached the process's file-size limit (RLIMIT_FSIZE, " + std::to_string(_sizeLimit) +
          " bytes); the line was dropped and the file is replaced";
  } else if (error == kErrorDiskFull) {
    why = "found no space left on its device (the disk or its quota is full); the line was dropped";
  } else {
    why = "could not be written (error " + std::to_string(error) + "); the line was dropped";
  }
  debug_output("log_file::write - [" + _name + "] " + why + "\r\n");
  return error;
}

unsigned long log_file::state(std::uint64_t& size, bool& unlinked) const {
  struct stat st;
  if (::fstat(fd_of(_handle), &st) != 0) return last_errno_as_win32();
  size = static_cast<std::uint64_t>(st.st_size);
  unlinked = st.st_nlink == 0;
  return 0;
}

bool log_file::still_named() const {
  // Asked every check interval: a file-size limit lowered since the open is
  // noticed here (a short write notices it anyway).
  _sizeLimit = file_size_limit();
  struct stat st;
  return ::stat(_name.c_str(), &st) == 0 && same_file(identity_of(st), _opened);
}

unsigned long log_file::read_at(std::uint64_t offset, std::size_t size, std::string& out) const {
  out.resize(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd_of(_handle), out.data() + got, size - got,
                              static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.clear();
      return last_errno_as_win32();
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return 0;
}

void log_file::sync() const { ::fdatasync(fd_of(_handle)); }

std::int64_t coarse_milliseconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool path_exists(const std::wstring& path) {
  struct stat st;
  return ::lstat(file_name_from_wide(path).c_str(), &st) == 0;
}

unsigned long remove_unlocked_file(const std::wstring& path, const file_identity& open) {
  const std::string name = file_name_from_wide(path);
  const probe guard(name, open);
  if (guard.error() != 0) return guard.error();
  return ::unlink(name.c_str()) == 0 ? 0 : last_errno_as_win32();
}

unsigned long rename_unlocked_file(const std::wstring& from, const std::wstring& to,
                                   const file_identity& open) {
  const std::string source = file_name_from_wide(from);
  const std::string target = file_name_from_wide(to);
  const probe source_guard(source, open);
  if (source_guard.error() != 0) return source_guard.error();
  const probe target_guard(target, open);
  if (target_guard.error() != 0) return target_guard.error();
  if (::rename(source.c_str(), target.c_str()) == 0) return 0;
  if (errno != EXDEV) return last_errno_as_win32();
  if (const unsigned long error = copy_file(source, target)) return error;
  return ::unlink(source.c_str()) == 0 ? 0 : last_errno_as_win32();
}

}  // namespace krCore::detail
