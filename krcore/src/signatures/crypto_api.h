// Internal: the crypto and trust calls that the signature checks are
// written against, implemented by the platform half: certificate contexts
// backed by the platform's certificates, the trust provider's file check,
// and the signed message and certificate store of an embedded signature.
#pragma once

#include <krcore/signatures.h>

#include <string>

#include "foundation/internal.h"
#include "foundation/errors.h"
#include "foundation/local_memory.h"

typedef struct x509_st X509;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

namespace krCore::detail {

// HRESULTs of the trust provider and the crypto calls.
enum : unsigned long {
  kTrustNoSignature = 0x800B0100,         // TRUST_E_NOSIGNATURE
  kTrustSubjectFormUnknown = 0x800B0003,  // TRUST_E_SUBJECT_FORM_UNKNOWN
  kTrustActionUnknown = 0x800B0002,       // TRUST_E_ACTION_UNKNOWN
  kTrustBadDigest = 0x80096010,           // TRUST_E_BAD_DIGEST
  kBadSignature = 0x80090006,             // NTE_BAD_SIGNATURE
  kCertChaining = 0x800B010A,             // CERT_E_CHAINING
  kCertUntrustedRoot = 0x800B0109,        // CERT_E_UNTRUSTEDROOT
  kCertExpired = 0x800B0101,              // CERT_E_EXPIRED
  kCertWrongUsage = 0x800B0110,           // CERT_E_WRONG_USAGE
  kCryptNotFound = 0x80092004,            // CRYPT_E_NOT_FOUND
  kCryptNoMatch = 0x80092009,             // CRYPT_E_NO_MATCH
  kCryptAsn1BadTag = 0x8009310B,          // CRYPT_E_ASN1_BADTAG
  kInvalidArg = 0x80070057,               // E_INVALIDARG
};

// A new context holding its own reference to `cert` (the caller keeps
// its reference); null with the last error set on failure.
KRCORE_INTERNAL PCCERT_CONTEXT context_from_x509(X509* cert);

// The certificate of a live context (no new reference), or null.
KRCORE_INTERNAL X509* x509_of(PCCERT_CONTEXT context);

// ---- The trust provider -------------------------------------------------

// The file-choice record of the trust data.
struct WINTRUST_FILE_INFO {
  DWORD cbStruct;
  const wchar_t* pcwszFilePath;
  HANDLE hFile;
  const GUID* pgKnownSubject;
};

// The fields of the trust data that the file check uses.
struct WINTRUST_DATA {
  DWORD cbStruct;
  void* pPolicyCallbackData;
  void* pSIPClientData;
  DWORD dwUIChoice;           // 2: no user interface
  DWORD fdwRevocationChecks;  // 0: none
  DWORD dwUnionChoice;        // 1: a file
  WINTRUST_FILE_INFO* pFile;
  DWORD dwStateAction;  // 0: ignore
  HANDLE hWVTStateData;
  wchar_t* pwszURLReference;
  DWORD dwProvFlags;  // 0x10: no revocation check
  DWORD dwUIContext;
};

// {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}
inline constexpr GUID kActionGenericVerifyV2 = {
    0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// Verifies the Authenticode signature of the file the trust data names with
// the generic-verify action; 0 when trusted, else the HRESULT of the first
// failing check. Revocation is never checked.
KRCORE_INTERNAL long WinVerifyTrust(HWND window, const GUID* action, WINTRUST_DATA* data);

// ---- Signed message and its certificate store ----------------------------

typedef void* HCRYPTMSG;

// The signer information of a signed message (CMSG_SIGNER_INFO_PARAM): the
// issuer and serial number that name the signer's certificate. The blobs
// point into the same buffer.
struct CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
};

enum : DWORD {
  kQueryObjectFile = 1,                   // CERT_QUERY_OBJECT_FILE
  kQueryContentPkcs7SignedEmbed = 0x400,  // CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED
  kQueryFormatBinary = 2,                 // CERT_QUERY_FORMAT_FLAG_BINARY
  kMsgSignerInfoParam = 6,                // CMSG_SIGNER_INFO_PARAM
  kFindSubjectCert = 0xB0000,             // CERT_FIND_SUBJECT_CERT
};

// Reads the embedded signature of the file `object` (a wide path) names:
// `store` gets the certificates it carries, `message` the signed message.
// FALSE with the last error when there is none (CRYPT_E_NO_MATCH) or the
// file cannot be read.
KRCORE_INTERNAL BOOL CryptQueryObject(DWORD objectType, const void* object, DWORD contentFlags,
                                      DWORD formatFlags, HCERTSTORE* store, HCRYPTMSG* message);

// The signer information with index `index` (only kMsgSignerInfoParam):
// null `data` asks for the size.
KRCORE_INTERNAL BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD param, DWORD index, void* data,
                                      DWORD* size);

// The certificate of `store` whose issuer and serial number are those of
// `para` (a CERT_INFO*, only kFindSubjectCert); a new context, or null with
// CRYPT_E_NOT_FOUND. `previous` is freed, but the search always starts at
// the store's first certificate: a signer is named by one certificate.
KRCORE_INTERNAL PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding,
                                                          DWORD flags, DWORD findType,
                                                          const void* para,
                                                          PCCERT_CONTEXT previous);

KRCORE_INTERNAL BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
KRCORE_INTERNAL BOOL CryptMsgClose(HCRYPTMSG message);


}  // namespace krCore::detail
