// Code signatures on Windows: not available yet.
//
// Reading and verifying a file's embedded signature fail here with
// ERROR_CALL_NOT_IMPLEMENTED (E_NOTIMPL from the trust check), saying once
// on the debugger output that it is missing. As nothing is ever opened,
// closing is a no-op.
#include <atomic>

#include "foundation/windows/not_available.h"
#include "signatures/crypto_api.h"

namespace krCore::detail {

namespace {
std::atomic<bool> g_reported{false};
}  // namespace

long WinVerifyTrust(HWND, const GUID*, WINTRUST_DATA*) {
  not_available(g_reported, L"signature verification");
  return E_NOTIMPL;
}

BOOL CryptQueryObject(DWORD, const void*, DWORD, DWORD, HCERTSTORE* store, HCRYPTMSG* message) {
  if (store) *store = nullptr;
  if (message) *message = nullptr;
  not_available(g_reported, L"reading signatures");
  return FALSE;
}

BOOL CryptMsgGetParam(HCRYPTMSG, DWORD, DWORD, void*, DWORD*) {
  not_available(g_reported, L"reading signatures");
  return FALSE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE, DWORD, DWORD, DWORD, const void*,
                                          PCCERT_CONTEXT previous) {
  if (previous) ::CertFreeCertificateContext(previous);
  not_available(g_reported, L"reading signatures");
  return nullptr;
}

BOOL CertCloseStore(HCERTSTORE, DWORD) { return TRUE; }
BOOL CryptMsgClose(HCRYPTMSG) { return TRUE; }

}  // namespace krCore::detail
