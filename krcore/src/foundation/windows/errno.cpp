// The C runtime's error numbers on Windows, as Win32 codes.
//
// The runtime sets errno only for its own calls (file streams, string
// conversions); the system's calls report through GetLastError and need no
// mapping. The numbers the runtime uses are mapped to the Win32 code that
// names the same failure; any other keeps its identity as a customer code
// (kErrnoCodeBase | errno) whose text is the runtime's own description.
#include <cerrno>
#include <cstring>

#include "foundation/errors.h"

namespace krCore::detail {

unsigned long win32_from_errno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES: case EPERM: case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EINVAL: return kErrorInvalidParameter;
    case EEXIST: return kErrorAlreadyExists;
    case EMFILE: case ENFILE: return 4;      // ERROR_TOO_MANY_OPEN_FILES
    case EXDEV: return 17;                   // ERROR_NOT_SAME_DEVICE
    case EROFS: return 19;                   // ERROR_WRITE_PROTECT
    case EAGAIN: return kErrorSharingViolation;
    case ENOSYS: return 50;                  // ERROR_NOT_SUPPORTED
    case EPIPE: return 109;                  // ERROR_BROKEN_PIPE
    case ENOSPC: return 112;                 // ERROR_DISK_FULL
    case ERANGE: return 122;                 // ERROR_INSUFFICIENT_BUFFER
    case ECHILD: return 128;                 // ERROR_WAIT_NO_CHILDREN
    case ENOTEMPTY: return 145;              // ERROR_DIR_NOT_EMPTY
    case EBUSY: return 170;                  // ERROR_BUSY
    case ENOEXEC: return 193;                // ERROR_BAD_EXE_FORMAT
    case ENAMETOOLONG: return 206;           // ERROR_FILENAME_EXCED_RANGE
    case EFBIG: return 223;                  // ERROR_FILE_TOO_LARGE
    case EINTR: return 995;                  // ERROR_OPERATION_ABORTED
    case EFAULT: return 998;                 // ERROR_NOACCESS
    case EIO: return 1117;                   // ERROR_IO_DEVICE
    case EDEADLK: return 1131;               // ERROR_POSSIBLE_DEADLOCK
    default: return kErrnoCodeBase | (static_cast<unsigned long>(err) & 0xFFFF);
  }
}

unsigned long last_errno_as_win32() { return win32_from_errno(errno); }

// Empty for a number the runtime does not define (it would answer
// "Unknown error").
std::wstring errno_description(int err) {
  if (err <= 0) return {};
  wchar_t text[256];
  if (_wcserror_s(text, 256, err) != 0) return {};
  const std::wstring description(text);
  if (description.rfind(L"Unknown error", 0) == 0) return {};
  return description;
}

}  // namespace krCore::detail
