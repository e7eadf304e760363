// Internal, Linux only: the one way the library opens and reads a file that
// a caller or an administrator named.
//
// Such a file may be a FIFO (an open or a read blocks for ever), a device
// (/dev/zero never ends), a link planted to redirect a privileged access, a
// file that shrinks while it is read or one whose size claims gigabytes.
// Windows code can trust its kernel objects in ways this platform's files do
// not allow, so every family's Linux half opens such files here: without
// blocking, refusing the wrong kind of file, without following a final link
// where asked, and reading no more than the format allows. Failures are
// Win32 codes plus one diagnostic line that names the file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// One owned file descriptor; closed by the destructor. Movable, not copyable.
class KRCORE_INTERNAL unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : _fd(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : _fd(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return _fd; }
  explicit operator bool() const { return _fd >= 0; }
  int release() {
    const int fd = _fd;
    _fd = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int _fd = -1;
};

// The kind of file a caller expects.
enum class file_kind { regular, directory };

// How open_untrusted treats the last component of the path.
enum class final_link { follow, refuse };

// The result of opening or reading an untrusted file: a Win32 code (0 on
// success) and, on failure, one line naming the file and the reason, ready
// for the debugger output or an exception text.
struct KRCORE_INTERNAL file_result {
  unsigned long code = 0;
  std::string diagnostic;
  explicit operator bool() const { return code == 0; }
};

// Opens `path` (relative to `dir_fd` when that is not AT_FDCWD) read-only,
// without blocking and close-on-exec, and accepts it only when it is of
// `kind`. A FIFO, socket or device is refused with 13 (ERROR_INVALID_DATA)
// before anything is read; a final link with `final_link::refuse` is refused
// with 1920 (ERROR_CANT_ACCESS_FILE); a missing file gives 2, a missing
// folder 3. On success `fd` holds the descriptor (its O_NONBLOCK flag
// cleared again for a regular file, so reads behave as usual) and `st` its
// status; when the kind was refused, `st` holds the status of what was
// found, so that a caller can answer each kind as its interface must.
// Thread-safe; never throws except std::bad_alloc for the text.
KRCORE_INTERNAL file_result open_untrusted(int dir_fd, const std::string& path, file_kind kind,
                                           final_link links, unique_fd& fd, struct stat& st);

// Opens `path` for reading and writing, creating it with `mode` when it is
// missing, for a privileged writer in a folder others may write to: never
// through a final link (refused with 1920 before anything is created,
// written or truncated at the link's target), without blocking, and only
// when it is a regular file (a FIFO, socket, device or folder is refused
// with 13). `extra_flags` adds open flags such as O_DSYNC. On success `fd`
// holds the descriptor (blocking again) and `st` its status. Thread-safe;
// never throws except std::bad_alloc for the text.
KRCORE_INTERNAL file_result open_untrusted_for_write(int dir_fd, const std::string& path,
                                                     int extra_flags, mode_t mode, unique_fd& fd,
                                                     struct stat& st);

// Reads the regular file `fd` from `offset` to its end, at most `limit`
// bytes. A file longer than `limit` is refused with 223
// (ERROR_FILE_TOO_LARGE), before anything large is allocated; a file that
// shrinks while it is read gives what was there. `name` names the file in
// the diagnostic. `known`, when given, is the status open_untrusted just
// returned for `fd` (it saves asking again). Thread-safe; never throws
// except std::bad_alloc for a result within `limit`.
KRCORE_INTERNAL file_result read_bounded(int fd, const std::string& name, std::size_t limit,
                                         std::string& out, off_t offset = 0,
                                         const struct stat* known = nullptr);

// Reads exactly `size` bytes at `offset` with pread. Returns 0, 38
// (ERROR_HANDLE_EOF) when the file ends first (it may have shrunk), or the
// read's error code.
KRCORE_INTERNAL unsigned long read_exact_at(int fd, void* buffer, std::size_t size, off_t offset);

// Reads exactly `size` bytes from `fd` (a pipe or socket too), or writes
// all `size` bytes to it, going on after a signal. False when the stream
// ends first or a call fails (errno tells which).
KRCORE_INTERNAL bool read_all(int fd, void* buffer, std::size_t size);
KRCORE_INTERNAL bool write_all(int fd, const void* data, std::size_t size);

}  // namespace krCore::detail
