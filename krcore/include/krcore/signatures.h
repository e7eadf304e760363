// Certificates and Authenticode signatures: who signed a Windows executable,
// whether its signature is trusted, and whether the signer is one of the
// trusted publishers; plus small certificate helpers and an owning holder
// for a certificate context.
//
// Signatures are checked on this platform by the library itself (OpenSSL
// underneath): the roots it trusts for code signing are the PEM files of the
// folder /etc/krcore/codesign-roots/, or of the folder that the environment
// variable KRCORE_CODESIGN_ROOTS names. Which roots to trust is the
// administrator's decision, as a machine's root store is. On Windows the
// system's trust provider checks them, against the system's root stores.
#pragma once

#include <krcore/foundation.h>
#include <krcore/wintypes.h>

#if defined(_WIN32)
#include <wincrypt.h>
#endif

#include <string>
#include <vector>

// On Windows the certificate contexts and their calls are the system's own
// (<wincrypt.h>); the declarations below stand in for them elsewhere.
#if !defined(_WIN32)

// ---------------------------------------------------------------------------
// Certificate contexts (global namespace, with the layout and names of the
// platform's crypto interface the agent's modules were written against).
// ---------------------------------------------------------------------------

typedef DATA_BLOB CRYPT_INTEGER_BLOB;
typedef DATA_BLOB CERT_NAME_BLOB;
typedef DATA_BLOB CRYPT_OBJID_BLOB;

// An algorithm's object identifier and parameters. Plain data, not
// synchronised; it reports no errors of its own.
struct CRYPT_ALGORITHM_IDENTIFIER {
  char* pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};

// The leading fields of a certificate's information: the serial number is
// stored least significant byte first, the names are DER-encoded. Plain
// data owned by its context, not synchronised; no errors of its own.
struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
};

typedef void* HCERTSTORE;

// One reference to a certificate: its DER encoding and decoded information.
// Contexts are reference-counted; every context a call returns is freed
// once with CertFreeCertificateContext. The count is atomic (thread-safe),
// so references to one certificate may be taken and freed on different
// threads; the
// fields are read-only for the context's life. Errors come from the calls
// that take contexts (FALSE with last error 87 for a context the library did
// not make).
struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  CERT_INFO* pCertInfo;
  HCERTSTORE hCertStore;
};
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

#ifndef X509_ASN_ENCODING
#define X509_ASN_ENCODING 0x00000001u
#define PKCS_7_ASN_ENCODING 0x00010000u
#endif
#ifndef CERT_NAME_SIMPLE_DISPLAY_TYPE
#define CERT_NAME_EMAIL_TYPE 1u
#define CERT_NAME_ATTR_TYPE 3u
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4u
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5u
#define CERT_NAME_ISSUER_FLAG 0x1u
#endif
#ifndef CERT_SHA1_HASH_PROP_ID
#define CERT_MD5_HASH_PROP_ID 4u
#define CERT_SHA1_HASH_PROP_ID 3u
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_SHA256_HASH_PROP_ID 107u
#endif

extern "C" {

// A new context (reference count 1) for the DER certificate `encoded`, or
// null with the last error set (CRYPT_E_ASN1_BADTAG 0x8009310B for bytes
// that are no certificate, E_INVALIDARG for an encoding other than X.509).
KRCORE_API PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* encoded,
                                                       DWORD size);

// One more reference to `context` (the same pointer); null stays null.
// Thread-safe: references may be taken and freed on any thread.
KRCORE_API PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);

// Frees one reference; the last one releases the certificate. Null is
// accepted (TRUE). A pointer that is no live context gives FALSE with
// E_INVALIDARG.
KRCORE_API BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

// A name of the certificate's subject (or of its issuer with
// CERT_NAME_ISSUER_FLAG). CERT_NAME_SIMPLE_DISPLAY_TYPE and
// CERT_NAME_FRIENDLY_DISPLAY_TYPE give the first common name, else the
// first organisational unit, organisation or e-mail address, else the first
// attribute of the name; CERT_NAME_EMAIL_TYPE the e-mail address;
// CERT_NAME_ATTR_TYPE the first attribute whose object identifier
// `typePara` (a const char*) names. Returns the characters needed including
// the terminating null (1 for a name that is not there); with a buffer,
// writes at most `size` characters, always terminated. 0 on failure, with
// the last error set.
KRCORE_API DWORD CertGetNameStringW(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara,
                                    wchar_t* name, DWORD size);

// A property of the certificate: CERT_SHA1_HASH_PROP_ID (the thumbprint),
// CERT_MD5_HASH_PROP_ID or CERT_SHA256_HASH_PROP_ID, each over the DER
// encoding. With null `data` stores the size in `*size`; with a buffer too
// small, FALSE with ERROR_MORE_DATA and the size needed. Other identifiers
// give FALSE with CRYPT_E_NOT_FOUND (0x80092004).
KRCORE_API BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD id, void* data,
                                                  DWORD* size);

}  // extern "C"

#endif  // !_WIN32

namespace krCore {

// Replaces the contents of `publishers` with the built-in trusted-publisher
// patterns ("Microsoft\b.*", "Vantrel\b.*", "Zelvora LLC", in this order)
// and returns their number. A fresh list each call; thread-safe.
KRCORE_API unsigned int GetTrustedPublishers(std::vector<std::wstring>& publishers);

// True when `file` exists, carries a trusted Authenticode signature and its
// signer's simple display name matches one of `publishers` as a whole
// (ECMAScript regular expressions, case ignored, tried in order). An
// inaccessible file or a failed trust check gives false and is logged;
// failures reading the signer's names throw krException. Thread-safe.
KRCORE_API bool verifydigitalcertificate(const std::vector<std::wstring>& publishers,
                                         const std::wstring& file);

// The trust status of `file`'s signature: 0 when trusted, else an HRESULT
// such as 0x800B0100 (no signature), 0x80096010 (the file's digest does not
// match), 0x800B0109 (untrusted root). A file that cannot be accessed is
// logged and gives 0. Thread-safe.
KRCORE_API unsigned long winverifytrustonfile(const std::wstring& file);

// Fills `publisher` and `issuer` with the simple display names of the
// signer's certificate of `file`'s embedded signature and of its issuer.
// Does not judge trust. Throws krException with the failing call's code
// (for instance 0x80092009 for a file without a signature). Thread-safe.
KRCORE_API void getfiledigitalsignatureinfo(const std::wstring& file, std::wstring& publisher,
                                            std::wstring& issuer);

// The helpers below only read the context, so they are thread-safe for any
// context whose reference the caller holds.

// The certificate's name of `type` with `flags` (see CertGetNameStringW).
// Throws krException with the last error when the name cannot be read.
KRCORE_API std::wstring getcertinfofromcertcontext(unsigned long type, unsigned long flags,
                                                   const CERT_CONTEXT* cert);

// Fills `data` with property `id` of `cert` (see
// CertGetCertificateContextProperty). Returns 0, or the error code, logged
// at error level; never throws for those failures.
KRCORE_API unsigned long getCertificateProperty(const CERT_CONTEXT* cert, unsigned long id,
                                                std::vector<unsigned char>& data);

// The SHA-1 thumbprint as lower-case hexadecimal, one space between bytes
// ("0a ff 12 …"); empty (and logged) on failure.
KRCORE_API std::wstring getCertThumbprint(const CERT_CONTEXT* cert);

// The serial number as lower-case hexadecimal, most significant byte first
// (two digits per byte, leading zeros kept); empty for a null context.
KRCORE_API std::wstring getCertSerialnumber(const CERT_CONTEXT* cert);

// Frees one reference of `cert` (null is ignored); a failure is logged at
// error level, never thrown.
KRCORE_API void FreeCertificateContextImpl(const CERT_CONTEXT* cert);

// Owns one reference to a certificate context (null when empty). Copies
// duplicate the reference, so each copy frees its own; reassignment and
// destruction free the held one. Not thread-safe as an object; distinct
// holders of the same certificate may live on different threads. Never
// throws: a failed free is logged (FreeCertificateContextImpl).
class KRCORE_API AutoCertContext_t {
 public:
  // Takes ownership of `context` (which may be null).
  AutoCertContext_t(const CERT_CONTEXT* context = nullptr);
  AutoCertContext_t(const AutoCertContext_t& other);
  AutoCertContext_t& operator=(const AutoCertContext_t& other);
  ~AutoCertContext_t();

  const CERT_CONTEXT* get() const { return _context; }
  operator const CERT_CONTEXT*() const { return _context; }

  // Gives up ownership and returns the context; the holder is empty after.
  const CERT_CONTEXT* release();

  // Frees the held reference and holds a new reference to `other`'s.
  void Copy(const AutoCertContext_t& other);
  // Frees the held reference; the holder is empty after.
  void Delete();

  // A new reference to `context` (null stays null).
  static const CERT_CONTEXT* DuplicateCertificateContext(const CERT_CONTEXT* context);

 private:
  const CERT_CONTEXT* _context;
};

// The default certificate store's name. Stateless and thread-safe; Store
// throws only std::bad_alloc.
class KRCORE_API DefaultCertSettings {
 public:
  // "My".
  static std::wstring Store();
};

}  // namespace krCore
