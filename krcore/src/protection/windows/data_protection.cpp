// Data protection on Windows: the system's own protect/unprotect pair,
// bound to the machine (any account on it can unprotect), never asking the
// user anything. Its output is the system's local memory, which the callers
// free with LocalFree as everywhere else. A blob of the Linux stand-in's
// format is refused with 13 before the system sees it, so that a form
// carried over from the other platform fails the same way on both. Wiping a
// secret is SecureZeroMemory, which the compiler may not leave out.
#include <windows.h>
#include <dpapi.h>

#include <cstring>

#include "protection/data_protection.h"

namespace krCore::detail {

namespace {

bool valid_blob_arg(const DATA_BLOB* blob) {
  return blob && (blob->cbData == 0 || blob->pbData != nullptr);
}

BOOL fail(DWORD code) {
  ::SetLastError(code);
  return FALSE;
}

// The system leaves the last error at 0 on a few failures; a caller must
// still see one.
BOOL system_failure(DWORD fallback) {
  const DWORD code = ::GetLastError();
  return fail(code != 0 ? code : fallback);
}

}  // namespace

void wipe_secret(void* data, std::size_t size) {
  if (data) ::SecureZeroMemory(data, size);
}

BOOL CryptProtectData(const DATA_BLOB* in, const wchar_t* description, const DATA_BLOB* entropy,
                      void*, void*, DWORD flags, DATA_BLOB* out) {
  if (out) *out = DATA_BLOB{};
  if (!valid_blob_arg(in) || !out || (entropy && !valid_blob_arg(entropy)) ||
      !(flags & kCryptProtectLocalMachine) ||
      (flags & ~(kCryptProtectLocalMachine | kCryptProtectUiForbidden)))
    return fail(ERROR_INVALID_PARAMETER);
  DATA_BLOB input = *in;
  DATA_BLOB extra = entropy ? *entropy : DATA_BLOB{};
  if (!::CryptProtectData(&input, description, entropy ? &extra : nullptr, nullptr, nullptr,
                          flags | CRYPTPROTECT_UI_FORBIDDEN, out)) {
    *out = DATA_BLOB{};
    return system_failure(static_cast<DWORD>(NTE_FAIL));
  }
  return TRUE;
}

BOOL CryptUnprotectData(const DATA_BLOB* in, wchar_t** description, const DATA_BLOB* entropy,
                        void*, void*, DWORD flags, DATA_BLOB* out) {
  if (description) *description = nullptr;
  if (out) *out = DATA_BLOB{};
  if (!valid_blob_arg(in) || !out || (entropy && !valid_blob_arg(entropy)) ||
      (flags & ~(kCryptProtectLocalMachine | kCryptProtectUiForbidden)))
    return fail(ERROR_INVALID_PARAMETER);
  if (in->cbData >= sizeof kBlobMagic && std::memcmp(in->pbData, kBlobMagic, sizeof kBlobMagic) == 0)
    return fail(ERROR_INVALID_DATA);
  DATA_BLOB input = *in;
  DATA_BLOB extra = entropy ? *entropy : DATA_BLOB{};
  if (!::CryptUnprotectData(&input, nullptr, entropy ? &extra : nullptr, nullptr, nullptr,
                            flags | CRYPTPROTECT_UI_FORBIDDEN, out)) {
    *out = DATA_BLOB{};
    return system_failure(ERROR_INVALID_DATA);
  }
  return TRUE;
}

}  // namespace krCore::detail
