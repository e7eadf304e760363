// The one mapping from the C runtime's error numbers to Win32 codes.
//
// Where the runtime and Windows name the same failure, the Win32 code is
// used, so that callers compare against the codes the interface documents.
// An error number without a counterpart keeps its identity as a customer
// code (kErrnoCodeBase | errno) whose text is the platform's own description
// (errno_description, in the platform half). The numbers are the POSIX
// names, which both the Linux C library and the MinGW runtime define.
#include <cerrno>

#include "foundation/errors.h"

namespace krCore::detail {

unsigned long win32_from_errno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: case ENXIO: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES: case EPERM: case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EINVAL: return kErrorInvalidParameter;
    case EEXIST: return kErrorAlreadyExists;
    case EMFILE: case ENFILE: return 4;          // ERROR_TOO_MANY_OPEN_FILES
    case EXDEV: return 17;                       // ERROR_NOT_SAME_DEVICE
    case EROFS: return 19;                       // ERROR_WRITE_PROTECT
    case EWOULDBLOCK: return kErrorSharingViolation;
    case ENOSYS: case EOPNOTSUPP: return 50;     // ERROR_NOT_SUPPORTED
    case ENODEV: return 55;                      // ERROR_DEV_NOT_EXIST
    case EPIPE: return 109;                      // ERROR_BROKEN_PIPE
    case ENOSPC: return 112;                     // ERROR_DISK_FULL
    case ERANGE: return 122;                     // ERROR_INSUFFICIENT_BUFFER
    case ECHILD: return 128;                     // ERROR_WAIT_NO_CHILDREN
    case ENOTEMPTY: return 145;                  // ERROR_DIR_NOT_EMPTY
    case EBUSY: return 170;                      // ERROR_BUSY
    case ENOEXEC: return 193;                    // ERROR_BAD_EXE_FORMAT
    case ENAMETOOLONG: return 206;               // ERROR_FILENAME_EXCED_RANGE
    case EFBIG: return 223;                      // ERROR_FILE_TOO_LARGE
    case EOVERFLOW: return 534;                  // ERROR_ARITHMETIC_OVERFLOW
    case EINTR: case ECANCELED: return 995;      // ERROR_OPERATION_ABORTED
    case EFAULT: return 998;                     // ERROR_NOACCESS
    case EIO: return 1117;                       // ERROR_IO_DEVICE
    case EDEADLK: return 1131;                   // ERROR_POSSIBLE_DEADLOCK
    case ECONNREFUSED: return 1225;              // ERROR_CONNECTION_REFUSED
    case ENETUNREACH: return 1231;               // ERROR_NETWORK_UNREACHABLE
    case EHOSTUNREACH: return 1232;              // ERROR_HOST_UNREACHABLE
    case ECONNABORTED: return 1236;              // ERROR_CONNECTION_ABORTED
    case ETIMEDOUT: return kErrorTimeout;
    case ELOOP: return 1921;                     // ERROR_CANT_RESOLVE_FILENAME
    default: return kErrnoCodeBase | (static_cast<unsigned long>(err) & 0xFFFF);
  }
}

unsigned long last_errno_as_win32() { return win32_from_errno(errno); }

}  // namespace krCore::detail
