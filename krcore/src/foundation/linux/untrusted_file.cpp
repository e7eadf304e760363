// Opening and reading files that others named: the checks every family's
// Linux half relies on before it reads a byte.
//
// The order matters. O_NONBLOCK is on at open time so that a FIFO without a
// writer cannot hold the caller (and whatever lock it holds) for ever; the
// kind is judged from fstat on the opened descriptor, not from a stat of the
// path, so nothing can be swapped in between; the size bound is checked
// before the buffer grows, so a file that claims gigabytes costs nothing.
#include "foundation/linux/untrusted_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "foundation/errors.h"

namespace krCore::detail {
namespace {

constexpr unsigned long kErrorHandleEof = 38;
constexpr unsigned long kErrorFileTooLarge = 223;
constexpr unsigned long kErrorCantAccessFile = 1920;

const char* kind_text(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a regular file";
}

file_result failure(unsigned long code, const std::string& path, std::string_view why) {
  file_result r;
  r.code = code;
  r.diagnostic.reserve(path.size() + why.size() + 4);
  r.diagnostic.append("[").append(path).append("] ").append(why);
  return r;
}

file_result errno_failure(int err, const std::string& path, std::string_view what) {
  std::string why(what);
  why.append(": ");
  const std::wstring text = errno_description(err);
  for (wchar_t c : text) why.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return failure(win32_from_errno(err), path, why);
}

// Whether the folder `path` lies in exists (as a folder).
bool folder_exists(int dir_fd, const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  struct stat st;
  return ::fstatat(dir_fd, folder.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Whether `path` itself is a symbolic link.
bool is_link(int dir_fd, const std::string& path) {
  struct stat st;
  return ::fstatat(dir_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

void unique_fd::reset(int fd) {
  if (_fd >= 0) ::close(_fd);
  _fd = fd;
}

namespace {

// The common half of both opens: `flags` already say how; the kind is then
// judged on the descriptor and O_NONBLOCK is cleared again for a regular
// file, so that reads and writes behave as usual.
file_result open_checked(int dir_fd, const std::string& path, int flags, mode_t mode,
                         file_kind kind, final_link links, unique_fd& fd, struct stat& st) {
  flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (links == final_link::refuse) flags |= O_NOFOLLOW;
  if (kind == file_kind::directory) flags |= O_DIRECTORY;
  int raw;
  do raw = ::openat(dir_fd, path.c_str(), flags, mode);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    const int err = errno;
    // With O_DIRECTORY the kernel calls a final link "not a directory".
    if (links == final_link::refuse && (err == ELOOP || (err == ENOTDIR && is_link(dir_fd, path))))
      return failure(kErrorCantAccessFile, path, "is a symbolic link; refused");
    if (err == ENOTDIR && kind == file_kind::directory)
      return failure(kErrorPathNotFound, path, "is not a directory");
    // Opening a FIFO for writing without a reader, or a device that is
    // not there, fails before the kind can be judged: still the wrong kind.
    if (err == ENXIO) return failure(kErrorInvalidData, path, "is not a regular file; refused");
    // The system tells a missing file (2) from a missing folder (3); the
    // kernel says ENOENT for both, so the folder is looked at.
    if (err == ENOTDIR || (err == ENOENT && !folder_exists(dir_fd, path)))
      return failure(kErrorPathNotFound, path, "is in a folder that does not exist");
    return errno_failure(err, path, "cannot be opened");
  }
  unique_fd held(raw);
  if (::fstat(raw, &st) != 0) return errno_failure(errno, path, "cannot be examined");
  const bool right_kind = kind == file_kind::regular ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode);
  if (!right_kind) {
    std::string why = "is ";
    why.append(kind_text(st.st_mode))
        .append(", not ")
        .append(kind == file_kind::regular ? "a regular file" : "a directory")
        .append("; refused");
    return failure(kErrorInvalidData, path, why);
  }
  if (kind == file_kind::regular) {
    // One call: of the flags F_SETFL changes, only O_NONBLOCK was set here.
    (void)::fcntl(raw, F_SETFL, flags & (O_APPEND | O_ASYNC | O_DIRECT | O_NOATIME));
  }
  fd = std::move(held);
  return {};
}

}  // namespace

file_result open_untrusted(int dir_fd, const std::string& path, file_kind kind, final_link links,
                           unique_fd& fd, struct stat& st) {
  return open_checked(dir_fd, path, O_RDONLY, 0, kind, links, fd, st);
}

file_result open_untrusted_for_write(int dir_fd, const std::string& path, int extra_flags,
                                     mode_t mode, unique_fd& fd, struct stat& st) {
  return open_checked(dir_fd, path, O_RDWR | O_CREAT | extra_flags, mode, file_kind::regular,
                      final_link::refuse, fd, st);
}

file_result read_bounded(int fd, const std::string& name, std::size_t limit, std::string& out,
                         off_t offset, const struct stat* known) {
  out.clear();
  struct stat st {};
  if (known) {
    st = *known;
  } else if (::fstat(fd, &st) != 0) {
    return errno_failure(errno, name, "cannot be examined");
  }
  if (!S_ISREG(st.st_mode)) return failure(kErrorInvalidData, name, "is not a regular file; refused");
  const off_t claimed = st.st_size > offset ? st.st_size - offset : 0;
  if (static_cast<unsigned long long>(claimed) > limit)
    return failure(kErrorFileTooLarge, name,
                   "is larger than " + std::to_string(limit) + " bytes; refused");
  out.resize(static_cast<std::size_t>(claimed));
  std::size_t got = 0;
  // One byte past the claimed size tells a file that grew since fstat from
  // one that did not; a file that grows beyond the bound is refused too.
  for (;;) {
    if (got == out.size()) {
      if (out.size() >= limit + 1) break;
      out.resize(std::min(limit + 1, out.size() + 4096));
    }
    const ssize_t n = ::pread(fd, out.data() + got, out.size() - got,
                              offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      out.clear();
      return errno_failure(err, name, "cannot be read");
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > limit) {
    out.clear();
    return failure(kErrorFileTooLarge, name,
                   "is larger than " + std::to_string(limit) + " bytes; refused");
  }
  out.resize(got);
  return {};
}

unsigned long read_exact_at(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* p = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, p + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return win32_from_errno(errno);
    }
    if (n == 0) return kErrorHandleEof;
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

namespace {
template <class Call, class Byte>
bool whole(Call call, int fd, Byte* p, std::size_t size) {
  while (size > 0) {
    const ssize_t n = call(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
}  // namespace

bool read_all(int fd, void* buffer, std::size_t size) {
  return whole(::read, fd, static_cast<unsigned char*>(buffer), size);
}

bool write_all(int fd, const void* data, std::size_t size) {
  return whole(::write, fd, static_cast<const unsigned char*>(data), size);
}

}  // namespace krCore::detail
