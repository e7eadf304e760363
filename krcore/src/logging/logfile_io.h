// Internal: what the log files need from the platform, behind one small
// interface so that a Windows backend could sit beside the Linux one. The
// naming, rotation and group commit (logfile.cpp, logfile_writer.cpp) are
// portable; these functions only reach the system. Results are Win32 codes.
//
// Sharing: a log file is held with an exclusive advisory lock while it is
// open for writing, so a second writer is refused with 32 (a sharing
// violation). Every rename and removal the library makes first probes the
// file with a shared lock and also compares it with the file the process
// has open, so the open file is never moved or removed by the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// Which file an open descriptor is, to recognise it under another name.
struct file_identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool valid = false;
};

// Holds one open log file descriptor and its exclusive lock; closing the
// descriptor ends the lock. One owner; attach/release move ownership.
class KRCORE_INTERNAL log_file_descriptor {
 public:
  log_file_descriptor() = default;
  ~log_file_descriptor() { reset(); }
  log_file_descriptor(const log_file_descriptor&) = delete;
  log_file_descriptor& operator=(const log_file_descriptor&) = delete;

  int get() const { return _fd; }
  bool valid() const { return _fd >= 0; }
  void attach(int fd) {
    reset();
    _fd = fd;
  }
  int release() {
    const int fd = _fd;
    _fd = -1;
    return fd;
  }
  void reset();

 private:
  int _fd = -1;
};

// Opens `path` for writing, creating it when missing, and takes the
// exclusive lock (32 when another writer holds it). It empties the file
// (position 0), or with `keep_content` leaves what it holds and positions at
// its end; `size` is the size it then has. With `write_through` every write
// reaches the device before it returns.
KRCORE_INTERNAL unsigned long open_log_file(const std::wstring& path, bool write_through,
                                            bool keep_content, log_file_descriptor& file,
                                            file_identity& identity, std::uint64_t& size);

// Writes all `count` parts in order at the current position, in as few
// system calls as the kernel allows. 0 or the Win32 code of the failure.
KRCORE_INTERNAL unsigned long write_parts(int fd, const std::string_view* parts, std::size_t count);

// The file's size, and whether its last name is gone (unlinked by someone
// else while open). 0 or a Win32 code.
KRCORE_INTERNAL unsigned long log_file_state(int fd, std::uint64_t& size, bool& unlinked);

// Writes the file's data to the device; failures are ignored.
KRCORE_INTERNAL void sync_log_file(int fd);

// A monotonic second count that costs next to nothing to read.
KRCORE_INTERNAL std::int64_t coarse_seconds();

// True when something exists under `path`.
KRCORE_INTERNAL bool path_exists(const std::wstring& path);

// Removes `path` unless a writer holds it or it is `open` (32 then). 0 or a
// Win32 code.
KRCORE_INTERNAL unsigned long remove_unlocked_file(const std::wstring& path,
                                                   const file_identity& open);

// Renames `from` to `to`, replacing `to` and copying across file systems,
// unless a writer holds either file or either is `open` (32 then). 0 or a
// Win32 code.
KRCORE_INTERNAL unsigned long rename_unlocked_file(const std::wstring& from, const std::wstring& to,
                                                   const file_identity& open);

}  // namespace krCore::detail
