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

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"
#include "logging/debug_output.h"
#include "logging/logfile_io.h"

namespace krCore::detail {
namespace {

constexpr unsigned long kErrorDiskFull = 112;
constexpr unsigned long kErrorFileTooLarge = 223;
constexpr unsigned long kErrorCantAccessFile = 1920;

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
  probe(int folder, const std::string& name, const file_identity& open) {
    _fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
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

// For the scope of a write that may cross the file-size limit: once
// `hold` is called, SIGXFSZ, whose default action ends the process, is
// blocked on the calling thread (the kernel sends it to the writing
// thread), so the write fails with EFBIG instead; at the end of the scope a
// signal the write left pending is taken before the mask is restored. The
// process's disposition is never touched.
class file_size_signal_hold {
 public:
  file_size_signal_hold() = default;
  ~file_size_signal_hold() {
    if (!_held) return;
    if (!_was_pending) {
      const struct timespec now {};
      while (::sigtimedwait(&_signal, nullptr, &now) == SIGXFSZ) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
  }
  file_size_signal_hold(const file_size_signal_hold&) = delete;
  file_size_signal_hold& operator=(const file_size_signal_hold&) = delete;

  // Blocks the signal for the rest of the scope; a second call does nothing.
  void hold() {
    if (_held) return;
    _held = true;
    sigemptyset(&_signal);
    sigaddset(&_signal, SIGXFSZ);
    ::pthread_sigmask(SIG_BLOCK, &_signal, &_previous);
    sigset_t pending;
    _was_pending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1;
  }

 private:
  bool _held = false;
  bool _was_pending = false;
  sigset_t _signal{};
  sigset_t _previous{};
};

// Writes every part at the descriptor's position; a short write resumes
// mid-part and an interrupted one is repeated. On failure `partial` is what
// the kernel took of the part it stopped in (0 when it stopped between
// parts). A write that may cross the file-size limit (`near_limit`, or
// any after a short one) holds SIGXFSZ off.
unsigned long write_all(int fd, const std::string_view* parts, std::size_t count,
                        std::size_t& partial, bool near_limit) {
  file_size_signal_hold signal;
  if (near_limit) signal.hold();
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
    if (static_cast<std::size_t>(written) < asked) signal.hold();
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

// Copies `from` to `to` in `folder` (replacing it) where the system cannot
// rename (a file that is a mount point of its own).
unsigned long copy_file(int folder, const std::string& from, const std::string& to) {
  const int in = ::openat(folder, from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) return last_errno_as_win32();
  // Never truncate through a link planted at the target's name.
  const int out = ::openat(folder, to.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
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

// The descriptor in a log_file's or log_folder's opaque handle.
int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// `path` split at its last slash: the folder ("/" for the root, "." for
// a bare name) and the name in it.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// The folder part of `path` as the logger spells it.
std::wstring folder_of(const std::wstring& path) {
  const std::wstring::size_type slash = path.rfind(L'/');
  if (slash == std::wstring::npos) return L".";
  return slash == 0 ? std::wstring(L"/") : path.substr(0, slash);
}

// The name of `path` in its folder, as the system spells it.
std::string name_in_folder(const std::wstring& path) {
  return split_path(file_name_from_wide(path)).second;
}

// A diagnostic that named a file by its name in a folder names it by its
// full path instead.
std::string with_full_name(std::string diagnostic, const std::string& name,
                           const std::string& full) {
  const std::string shown = "[" + name + "]";
  if (diagnostic.compare(0, shown.size(), shown) == 0)
    diagnostic.replace(0, shown.size(), "[" + full + "]");
  return diagnostic;
}

// Whether an account other than this process's own and root's may change
// the entries of the folder `st` describes.
bool others_may_write(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid());
}

}  // namespace

unsigned long log_folder::open_for(const std::wstring& file, std::string& diagnostic) {
  close();
  const std::wstring folder = folder_of(file);
  const std::string full = file_name_from_wide(folder);
  auto [above, name] = split_path(full);
  if (name.empty()) name = ".";  // the root itself
  // The folders above are the configuration's to name; from the folder
  // that holds the log folder on, nothing is reached by path again.
  unique_fd parent(::open(above.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!parent || ::fstat(parent.get(), &st) != 0) {
    const unsigned long error = last_errno_as_win32();
    diagnostic = "[" + above + "] cannot be opened as a folder (error " + std::to_string(error) + ")";
    return error;
  }
  // A link at the folder's own name is followed only where no other
  // account could have put it there.
  const final_link links = others_may_write(st) ? final_link::refuse : final_link::follow;
  unique_fd opened;
  const file_result result =
      open_untrusted(parent.get(), name, file_kind::directory, links, opened, st);
  if (!result) {
    diagnostic = with_full_name(result.diagnostic, name, full);
    if (result.code == kErrorCantAccessFile)
      diagnostic.append(" (its folder may be written by other accounts)");
    return result.code;
  }
  _handle = opened.release();
  _path = folder;
  return 0;
}

bool log_folder::holds(const std::wstring& file) const {
  return is_open() && folder_of(file) == _path;
}

void log_folder::close() noexcept {
  if (_handle != kClosed) ::close(fd_of(_handle));
  _handle = kClosed;
}

void log_file::close() noexcept {
  if (_handle != kClosed) ::close(fd_of(_handle));
  _handle = kClosed;
}

unsigned long log_file::open(const std::wstring& path, bool write_through, bool keep_content,
                             file_identity& identity, std::uint64_t& size) {
  close();
  log_folder folder;
  std::string diagnostic;
  if (const unsigned long error = folder.open_for(path, diagnostic)) {
    debug_output("log_file::open - " + diagnostic + "\r\n");
    return error;
  }
  return open(folder, path, write_through, keep_content, identity, size);
}

unsigned long log_file::open(const log_folder& folder, const std::wstring& path,
                             bool write_through, bool keep_content, file_identity& identity,
                             std::uint64_t& size) {
  close();
  if (!folder.holds(path)) return open(path, write_through, keep_content, identity, size);
  // The folder may be one others can write to: a link planted at the
  // current file's name must not make a privileged writer truncate or
  // write its target, nor a FIFO hold it.
  unique_fd opened;
  struct stat st {};
  std::string name = file_name_from_wide(path);
  const std::string leaf = split_path(name).second;
  const file_result result = open_untrusted_for_write(
      fd_of(folder._handle), leaf, write_through ? O_DSYNC : 0, 0644, opened, st);
  if (!result) {
    debug_output("log_file::open - " + with_full_name(result.diagnostic, leaf, name) + "\r\n");
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

bool log_folder::exists(const std::wstring& path) const {
  if (!holds(path)) {
    log_folder other;
    std::string diagnostic;
    return other.open_for(path, diagnostic) == 0 && other.exists(path);
  }
  struct stat st;
  return ::fstatat(fd_of(_handle), name_in_folder(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

unsigned long log_folder::remove_unlocked(const std::wstring& path,
                                          const file_identity& open) const {
  if (!holds(path)) {
    log_folder other;
    std::string diagnostic;
    if (const unsigned long error = other.open_for(path, diagnostic)) {
      debug_output("log_folder::remove_unlocked - " + diagnostic + "\r\n");
      return error;
    }
    return other.remove_unlocked(path, open);
  }
  // A name swapped for a link or a folder after the probe is at worst a
  // link removed itself: unlinkat neither follows one nor removes a folder.
  const int fd = fd_of(_handle);
  const std::string name = name_in_folder(path);
  const probe guard(fd, name, open);
  if (guard.error() != 0) return guard.error();
  return ::unlinkat(fd, name.c_str(), 0) == 0 ? 0 : last_errno_as_win32();
}

unsigned long log_folder::rename_unlocked(const std::wstring& from, const std::wstring& to,
                                          const file_identity& open) const {
  if (!holds(from) || !holds(to)) {
    log_folder other;
    std::string diagnostic;
    if (const unsigned long error = other.open_for(from, diagnostic)) {
      debug_output("log_folder::rename_unlocked - " + diagnostic + "\r\n");
      return error;
    }
    // The log files move within their folder only.
    if (!other.holds(to)) return kErrorInvalidParameter;
    return other.rename_unlocked(from, to, open);
  }
  const int fd = fd_of(_handle);
  const std::string source = name_in_folder(from);
  const std::string target = name_in_folder(to);
  const probe source_guard(fd, source, open);
  if (source_guard.error() != 0) return source_guard.error();
  const probe target_guard(fd, target, open);
  if (target_guard.error() != 0) return target_guard.error();
  if (::renameat(fd, source.c_str(), fd, target.c_str()) == 0) return 0;
  if (errno != EXDEV) return last_errno_as_win32();
  if (const unsigned long error = copy_file(fd, source, target)) return error;
  return ::unlinkat(fd, source.c_str(), 0) == 0 ? 0 : last_errno_as_win32();
}

}  // namespace krCore::detail
