// Code signatures on Windows: the system's trust provider (wintrust.dll)
// judges a file's signature, and its message and store calls (crypt32.dll)
// read the signer from it.
//
// The library's trust data is copied into the system's field by field, and
// the check never shows a user interface nor asks for revocation, whatever
// the caller set. Before either the trust provider or crypt32 reads a file,
// the file is opened here, shared for reading only: a name that is no
// plain file on a disk (a pipe, a device, a folder) is refused with
// ERROR_ACCESS_DENIED instead of being read, and while the checks run the
// file can neither be written nor replaced by another one under its name.
// The trust provider reads through that handle.
#include <windows.h>
// <wintrust.h> needs <windows.h> first.
#include <wintrust.h>

#include <cstddef>

#include "foundation/errors.h"
#include "signatures/crypto_api.h"

namespace krCore::detail {
namespace {

// One handle to the file a check reads; closed with the holder.
class checked_file {
 public:
  // Opens `path` for reading, refusing any kind of file but a plain one on
  // a disk; error() is 0 or the Win32 code.
  explicit checked_file(const wchar_t* path) {
    _handle = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (_handle == INVALID_HANDLE_VALUE) {
      _error = ::GetLastError();
      return;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool on_disk = ::GetFileType(_handle) == FILE_TYPE_DISK;
    if (on_disk && !::GetFileInformationByHandle(_handle, &info))
      _error = ::GetLastError();
    else if (!on_disk || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      _error = ERROR_ACCESS_DENIED;
  }
  checked_file(const checked_file&) = delete;
  checked_file& operator=(const checked_file&) = delete;
  ~checked_file() {
    if (_handle != INVALID_HANDLE_VALUE) ::CloseHandle(_handle);
  }

  HANDLE handle() const { return _handle; }
  unsigned long error() const { return _error; }

 private:
  HANDLE _handle = INVALID_HANDLE_VALUE;
  unsigned long _error = 0;
};

}  // namespace

long WinVerifyTrust(HWND window, const GUID* action, WINTRUST_DATA* data) {
  if (!action) return static_cast<long>(kTrustActionUnknown);
  if (!data || data->dwUnionChoice != WTD_CHOICE_FILE || !data->pFile ||
      !data->pFile->pcwszFilePath)
    return static_cast<long>(kInvalidArg);
  const checked_file file(data->pFile->pcwszFilePath);
  if (file.error() != 0) return hresult_from_win32(file.error());

  ::WINTRUST_FILE_INFO info{};
  info.cbStruct = sizeof info;
  info.pcwszFilePath = data->pFile->pcwszFilePath;
  info.hFile = file.handle();
  info.pgKnownSubject = const_cast<GUID*>(data->pFile->pgKnownSubject);
  ::WINTRUST_DATA system{};
  system.cbStruct = sizeof system;
  system.pPolicyCallbackData = data->pPolicyCallbackData;
  system.pSIPClientData = data->pSIPClientData;
  system.dwUIChoice = WTD_UI_NONE;
  system.fdwRevocationChecks = WTD_REVOKE_NONE;
  system.dwUnionChoice = WTD_CHOICE_FILE;
  system.pFile = &info;
  system.dwStateAction = data->dwStateAction;
  system.hWVTStateData = data->hWVTStateData;
  system.pwszURLReference = data->pwszURLReference;
  system.dwProvFlags = data->dwProvFlags | WTD_REVOCATION_CHECK_NONE;
  system.dwUIContext = data->dwUIContext;
  GUID verb = *action;
  const long status = ::WinVerifyTrust(window, &verb, &system);
  data->hWVTStateData = system.hWVTStateData;
  return status;
}

BOOL CryptQueryObject(DWORD objectType, const void* object, DWORD contentFlags,
                      DWORD formatFlags, HCERTSTORE* store, HCRYPTMSG* message) {
  if (store) *store = nullptr;
  if (message) *message = nullptr;
  if (objectType != CERT_QUERY_OBJECT_FILE || !object) {
    ::SetLastError(kInvalidArg);
    return FALSE;
  }
  const checked_file file(static_cast<const wchar_t*>(object));
  if (file.error() != 0) {
    ::SetLastError(file.error());
    return FALSE;
  }
  DWORD encoding = 0, content = 0, format = 0;
  return ::CryptQueryObject(objectType, object, contentFlags, formatFlags, 0, &encoding,
                            &content, &format, store, message, nullptr);
}

BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD param, DWORD index, void* data, DWORD* size) {
  if (param != CMSG_SIGNER_INFO_PARAM) {
    ::SetLastError(kInvalidArg);
    return FALSE;
  }
  // The system's signer record begins with the fields of the library's.
  static_assert(offsetof(::CMSG_SIGNER_INFO, Issuer) == offsetof(CMSG_SIGNER_INFO, Issuer));
  static_assert(offsetof(::CMSG_SIGNER_INFO, SerialNumber) ==
                offsetof(CMSG_SIGNER_INFO, SerialNumber));
  return ::CryptMsgGetParam(message, param, index, data, size);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD flags,
                                          DWORD findType, const void* para,
                                          PCCERT_CONTEXT previous) {
  if (findType != CERT_FIND_SUBJECT_CERT) {
    if (previous) ::CertFreeCertificateContext(previous);
    ::SetLastError(kInvalidArg);
    return nullptr;
  }
  return ::CertFindCertificateInStore(store, encoding, flags, findType, para, previous);
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags) { return ::CertCloseStore(store, flags); }

BOOL CryptMsgClose(HCRYPTMSG message) { return ::CryptMsgClose(message); }

}  // namespace krCore::detail
