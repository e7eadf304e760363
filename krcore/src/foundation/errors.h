// Internal: the system's error texts and the one mapping from the platform's
// error numbers to Win32 codes.
//
// Win32 codes and HRESULTs are the library's error currency on every
// platform. This header is what every other source uses to produce them.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// Win32 codes the library produces by name.
enum : unsigned long {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidData = 13,
  kErrorSharingViolation = 32,
  kErrorInvalidParameter = 87,
  kErrorInsufficientBuffer = 122,
  kErrorAlreadyExists = 183,
  kErrorMoreData = 234,
  kWaitTimeout = 258,
  kErrorNoMoreItems = 259,
  kErrorNotOwner = 288,
  kErrorTooManyPosts = 298,
  kErrorInvalidIndex = 1413,
  kErrorInvalidThreadId = 1444,
  kErrorTimeout = 1460,
  kErrorKeyDeleted = 1018,
  kErrorFunctionFailed = 1627,
  kRpcServerUnavailable = 1722,
  kErrorNotAllAssigned = 1300,
  kErrorNoSuchPrivilege = 1313,
  kErrorNoneMapped = 1332,
  kErrorInvalidSid = 1337,
  kErrorNoSuchDomain = 1355,
  kErrorInvalidWindowHandle = 1400,
  kErrorResourceDataNotFound = 1812,
  kErrorResourceTypeNotFound = 1813,
  kErrorNotEnoughQuota = 1816,
  kNteBadData = 0x80090005,      // HRESULT: bad data (a protected blob that fails its check)
  kNteBadKeyState = 0x8009000B,  // HRESULT: key not valid for use (another machine's key)
};

// Codes made from an error number that has no Win32 counterpart: the
// customer bit (bit 29) set, the error number in the low bits. Their text is
// the platform's own description of the error number.
constexpr unsigned long kErrnoCodeBase = 0x20000000;

// The platform's own text for a Win32 code, HRESULT or NTSTATUS value, with
// the line end the platform gives it, or empty when the platform has none:
// the system's message tables on Windows, the library's English table of
// them on Linux. One half per platform (linux/message_table.cpp,
// windows/message_text.cpp); safe from any thread, throws nothing but
// std::bad_alloc.
KRCORE_INTERNAL std::wstring platform_message(unsigned long code);

// The system text of a code (empty when there is none): the platform's
// text, for HRESULTs of the Win32 facility (0x8007xxxx) that of their Win32
// code, and for the error-number codes above the platform's description of
// the error number.
KRCORE_INTERNAL std::wstring system_message(unsigned long code);

// The platform's own description of an error number (no line end).
KRCORE_INTERNAL std::wstring errno_description(int err);

// The Win32 code for an error number of the platform.
KRCORE_INTERNAL unsigned long win32_from_errno(int err);

// The Win32 code for the calling thread's current errno.
KRCORE_INTERNAL unsigned long last_errno_as_win32();

// HRESULT_FROM_WIN32: values that already are HRESULTs (or 0) pass
// unchanged. HRESULTs are 32-bit signed values held in a `long`.
constexpr long hresult_from_win32(unsigned long code) {
  const int c = static_cast<int>(static_cast<unsigned int>(code));
  return c <= 0 ? c : static_cast<int>((code & 0xFFFFu) | 0x80070000u);
}

}  // namespace krCore::detail
