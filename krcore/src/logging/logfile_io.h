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
//
// The folder may be one that other accounts can write to. The files of one
// rotation are looked up, shifted, pruned and created relative to one
// opened folder (`log_folder`), never through their full paths again, so a
// name swapped for a link while the files move cannot send a privileged
// rename, removal or write outside the folder.
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

// The folder the log files lie in, opened once for a series of steps on its
// files. Its own name is followed when it is a link only where no other
// account may write the folder above (a link there is refused with 1920
// otherwise); the folders above it are the configuration's to name. Every
// step below takes a full path, as the logger names its files, and works
// on the file of that name in this folder; a path in another folder is
// reached through that folder, opened the same way for the step. One owner
// at a time (movable, not copyable); not thread-safe.
class KRCORE_INTERNAL log_folder {
 public:
  log_folder() = default;
  ~log_folder() { close(); }
  log_folder(log_folder&& other) noexcept
      : _handle(other._handle), _path(std::move(other._path)) {
    other._handle = kClosed;
  }
  log_folder& operator=(log_folder&& other) noexcept {
    if (this != &other) {
      close();
      _handle = other._handle;
      _path = std::move(other._path);
      other._handle = kClosed;
    }
    return *this;
  }
  log_folder(const log_folder&) = delete;
  log_folder& operator=(const log_folder&) = delete;

  // Opens the folder that holds `file` (a folder open before is closed
  // first). 0 or a Win32 code, and then `diagnostic` is one line naming
  // the folder and the reason.
  unsigned long open_for(const std::wstring& file, std::string& diagnostic);
  bool is_open() const { return _handle != kClosed; }
  // Whether `file` lies in this folder (by its path's text).
  bool holds(const std::wstring& file) const;
  void close() noexcept;

  // True when something (of any kind, a link included) has `path`'s name.
  bool exists(const std::wstring& path) const;
  // Removes `path` unless a writer holds it or it is `open` (32 then), or
  // it is no regular file (13). 0 or a Win32 code.
  unsigned long remove_unlocked(const std::wstring& path, const file_identity& open) const;
  // Renames `from` to `to` (both in this folder), replacing `to` and
  // copying when the system cannot rename, unless a writer holds either
  // file or either is `open` (32 then), or either is no regular file (13).
  // 0 or a Win32 code.
  unsigned long rename_unlocked(const std::wstring& from, const std::wstring& to,
                                const file_identity& open) const;

 private:
  friend class log_file;
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t _handle = kClosed;  // the platform's handle, opaque here
  std::wstring _path;               // the folder's path, as the logger names it
};

// One open log file, held with its exclusive writer lock; closing the file
// ends the lock. The platform's handle inside is opaque here: only the
// platform half of the log files reads it. One owner at a time (movable,
// not copyable); not thread-safe, the log file writer serialises its calls.
// Every operation reports 0 or a Win32 code.
class KRCORE_INTERNAL log_file {
 public:
  log_file() = default;
  ~log_file() { close(); }
  log_file(log_file&& other) noexcept
      : _handle(other._handle),
        _name(std::move(other._name)),
        _opened(other._opened),
        _position(other._position),
        _sizeLimit(other._sizeLimit) {
    other._handle = kClosed;
  }
  log_file& operator=(log_file&& other) noexcept {
    if (this != &other) {
      close();
      _handle = other._handle;
      _name = std::move(other._name);
      _opened = other._opened;
      _position = other._position;
      _sizeLimit = other._sizeLimit;
      other._handle = kClosed;
    }
    return *this;
  }
  log_file(const log_file&) = delete;
  log_file& operator=(const log_file&) = delete;

  bool is_open() const { return _handle != kClosed; }

  // Opens `path` for writing, creating it when missing, and takes the
  // exclusive lock (32 when another writer holds it); a file open before is
  // closed first. It empties the file (position 0), or with `keep_content`
  // leaves what it holds and positions at its end; `size` is the size it
  // then has. With `write_through` every write reaches the device before it
  // returns. On failure the object is closed.
  unsigned long open(const std::wstring& path, bool write_through, bool keep_content,
                     file_identity& identity, std::uint64_t& size);
  // The same in `folder`, which holds `path` (see log_folder).
  unsigned long open(const log_folder& folder, const std::wstring& path, bool write_through,
                     bool keep_content, file_identity& identity, std::uint64_t& size);
  // Writes all `count` parts in order at the current position, in as few
  // system calls as the kernel allows. A write that fails part-way (a full
  // disk, the process's file-size limit: 112, 223) cuts the part it stopped
  // in back off, so each part is in the file whole or not at all, and says
  // so on the debugger output, naming the limit; the file-size limit never
  // ends the process.
  unsigned long write(const std::string_view* parts, std::size_t count);
  // The file's size, and whether its last name is gone (unlinked by someone
  // else while open).
  unsigned long state(std::uint64_t& size, bool& unlinked) const;
  // Whether the name the file was opened under still leads to it: false
  // once someone removed or renamed it (or put another file in its place).
  bool still_named() const;
  // Reads up to `size` bytes at `offset` into `out` (fewer when the file
  // ends first). 0 or a Win32 code.
  unsigned long read_at(std::uint64_t offset, std::size_t size, std::string& out) const;
  // Writes the file's data to the device; failures are ignored.
  void sync() const;
  // Closes the file (and so ends the lock); nothing when it is not open.
  void close() noexcept;

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t _handle = kClosed;
  std::string _name;       // the name it was opened under, as the system spells it
  file_identity _opened;   // the file it was then
  std::uint64_t _position = 0;                    // where the next write goes
  mutable std::uint64_t _sizeLimit = UINT64_MAX;  // the process's file-size limit
};

// A monotonic millisecond count that costs next to nothing to read (its
// steps are a few milliseconds apart).
KRCORE_INTERNAL std::int64_t coarse_milliseconds();

}  // namespace krCore::detail
