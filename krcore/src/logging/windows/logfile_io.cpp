// The Windows half of the log files.
//
// The writer opens its file for writing and shares only reading and
// deletion: a reader can follow the log and a rotation can move or remove
// it, but a second writer is refused by the system with a sharing
// violation (32). The library's own renames and removals first open the
// file without sharing writing, which fails the same way while any writer
// holds it. Links are never followed (a reparse point named like a log file
// is refused), and the file the process has open is also recognised by its
// volume and file index. Each write reaches the system before it returns;
// write-through adds FILE_FLAG_WRITE_THROUGH, flushing is FlushFileBuffers.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/errors.h"
#include "logging/debug_output.h"
#include "logging/logfile_io.h"

namespace krCore::detail {
namespace {

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The name is kept as the UTF-16 text's own bytes, so nothing is lost on
// the way back.
std::string name_bytes(const std::wstring& path) {
  return std::string(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(wchar_t));
}
std::wstring name_text(const std::string& bytes) {
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  return text;
}

unsigned long identity_of(HANDLE file, file_identity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return GetLastError();
  identity = file_identity{info.dwVolumeSerialNumber,
                           (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                               info.nFileIndexLow,
                           true};
  return 0;
}

bool same_file(const file_identity& a, const file_identity& b) {
  return a.valid && b.valid && a.device == b.device && a.inode == b.inode;
}

// Only a plain file on a disk is a log file: a directory, a link (reparse
// point), a pipe or a device named like one is refused with 13.
unsigned long check_plain_file(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return kErrorInvalidData;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
    return GetLastError();
  if (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return kErrorInvalidData;
  return 0;
}

// A probe of one existing file: opened without sharing writing (so a writer
// makes it fail with 32), checked to be a plain file and not the process's
// own open file. A missing file is not probed (the step itself reports it).
class probe {
 public:
  probe(const std::wstring& path, DWORD access, const file_identity& open) {
    _file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                        nullptr);
    if (_file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) _error = error;
      return;
    }
    file_identity identity;
    _error = check_plain_file(_file);
    if (_error != 0) return;
    _error = identity_of(_file, identity);
    if (_error != 0) return;
    if (same_file(identity, open)) _error = kErrorSharingViolation;
  }
  ~probe() { release(); }
  probe(const probe&) = delete;
  probe& operator=(const probe&) = delete;
  unsigned long error() const { return _error; }
  bool found() const { return _file != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return _file; }
  void release() {
    if (_file != INVALID_HANDLE_VALUE) CloseHandle(_file);
    _file = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE _file = INVALID_HANDLE_VALUE;
  unsigned long _error = 0;
};

unsigned long write_bytes(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) return GetLastError();
    data += written;
    size -= written;
  }
  return 0;
}

}  // namespace

void log_file::close() noexcept {
  if (_handle != kClosed) CloseHandle(handle_of(_handle));
  _handle = kClosed;
}

unsigned long log_file::open(const log_folder&, const std::wstring& path, bool write_through,
                             bool keep_content, file_identity& identity, std::uint64_t& size) {
  // The file itself is opened without following a reparse point; the
  // folders on its way are the system's to resolve.
  return open(path, write_through, keep_content, identity, size);
}

unsigned long log_file::open(const std::wstring& path, bool write_through, bool keep_content,
                             file_identity& identity, std::uint64_t& size) {
  close();
  const HANDLE file = CreateFileW(
      path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
      OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
          (write_through ? FILE_FLAG_WRITE_THROUGH : 0),
      nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    debug_output(L"log_file::open - cannot open [" + path + L"], error " + std::to_wstring(error) +
                 L"\r\n");
    return error;
  }
  // Held from here, so that every early return below closes it.
  _handle = reinterpret_cast<std::intptr_t>(file);
  unsigned long error = check_plain_file(file);
  if (error == kErrorInvalidData)
    debug_output(L"log_file::open - [" + path + L"] is not a plain file\r\n");
  LARGE_INTEGER end{};
  if (error == 0) {
    // Ours now: a fresh file starts empty; one whose content must be kept
    // (it could not be moved aside) is continued at its end.
    const LARGE_INTEGER zero{};
    const bool positioned =
        keep_content ? SetFilePointerEx(file, zero, &end, FILE_END) != 0
                     : SetFilePointerEx(file, zero, &end, FILE_BEGIN) && SetEndOfFile(file);
    if (!positioned) error = GetLastError();
  }
  if (error == 0) error = identity_of(file, identity);
  if (error != 0) {
    close();
    return error;
  }
  size = static_cast<std::uint64_t>(end.QuadPart);
  _name = name_bytes(path);
  _opened = identity;
  return 0;
}

unsigned long log_file::write(const std::string_view* parts, std::size_t count) {
  // Small parts are gathered so that a line costs one call.
  char batch[16384];
  std::size_t used = 0;
  const HANDLE file = handle_of(_handle);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view part = parts[i];
    if (used + part.size() <= sizeof batch) {
      std::memcpy(batch + used, part.data(), part.size());
      used += part.size();
      continue;
    }
    if (const unsigned long error = write_bytes(file, batch, used)) return error;
    used = 0;
    if (part.size() <= sizeof batch) {
      std::memcpy(batch, part.data(), part.size());
      used = part.size();
    } else if (const unsigned long error = write_bytes(file, part.data(), part.size())) {
      return error;
    }
  }
  return write_bytes(file, batch, used);
}

unsigned long log_file::state(std::uint64_t& size, bool& unlinked) const {
  FILE_STANDARD_INFO info;
  if (!GetFileInformationByHandleEx(handle_of(_handle), FileStandardInfo, &info, sizeof info))
    return GetLastError();
  size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
  unlinked = info.DeletePending != FALSE || info.NumberOfLinks == 0;
  return 0;
}

bool log_file::still_named() const {
  const HANDLE file = CreateFileW(name_text(_name).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  file_identity identity;
  const bool same = identity_of(file, identity) == 0 && same_file(identity, _opened);
  CloseHandle(file);
  return same;
}

unsigned long log_file::read_at(std::uint64_t offset, std::size_t size, std::string& out) const {
  // A positioned read moves the file pointer of a synchronous handle, so
  // the writer's position is put back afterwards.
  const HANDLE file = handle_of(_handle);
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT)) return GetLastError();
  out.resize(size);
  std::size_t got = 0;
  unsigned long error = 0;
  while (got < size) {
    OVERLAPPED at{};
    const std::uint64_t where = offset + got;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - got, 1u << 30));
    if (!ReadFile(file, out.data() + got, chunk, &n, &at)) {
      error = GetLastError();
      if (error == ERROR_HANDLE_EOF) error = 0;
      break;
    }
    if (n == 0) break;
    got += n;
  }
  SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
  if (error != 0) {
    out.clear();
    return error;
  }
  out.resize(got);
  return 0;
}

void log_file::sync() const { FlushFileBuffers(handle_of(_handle)); }

std::int64_t coarse_milliseconds() { return static_cast<std::int64_t>(GetTickCount64()); }

namespace {

// The folder part of `path`, either separator counting.
std::wstring folder_of(const std::wstring& path) {
  const std::wstring::size_type slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

}  // namespace

// On Windows the folder is named by its path: a folder in use cannot be
// renamed away, and every file step refuses a reparse point itself.
unsigned long log_folder::open_for(const std::wstring& file, std::string&) {
  close();
  _path = folder_of(file);
  _handle = 0;
  return 0;
}

bool log_folder::holds(const std::wstring& file) const {
  return is_open() && folder_of(file) == _path;
}

void log_folder::close() noexcept { _handle = kClosed; }

bool log_folder::exists(const std::wstring& path) const {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

unsigned long log_folder::remove_unlocked(const std::wstring& path,
                                          const file_identity& open) const {
  // The deletion goes through the probe's own handle, so the file removed
  // is the one that was checked.
  probe guard(path, GENERIC_READ | DELETE, open);
  if (guard.error() != 0) return guard.error();
  if (!guard.found()) return ERROR_FILE_NOT_FOUND;
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(guard.handle(), FileDispositionInfo, &disposition,
                                  sizeof disposition))
    return GetLastError();
  return 0;
}

unsigned long log_folder::rename_unlocked(const std::wstring& from, const std::wstring& to,
                                          const file_identity& open) const {
  {
    const probe source(from, GENERIC_READ, open);
    if (source.error() != 0) return source.error();
    const probe target(to, GENERIC_READ, open);
    if (target.error() != 0) return target.error();
  }
  // Released before the move: a file still open here could not be replaced.
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
    return 0;
  return GetLastError();
}

}  // namespace krCore::detail
