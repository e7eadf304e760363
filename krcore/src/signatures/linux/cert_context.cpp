// Certificate contexts backed by OpenSSL: each context is one heap object
// holding the X509 certificate, its DER bytes and the decoded fields the
// public record points to, shared by every reference and freed with the
// last one.
#include "signatures/crypto_api.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/utf.h"
#include "signatures/linux/x509_bytes.h"

namespace krCore::detail {
namespace {

// Marks a live context, so that a stray pointer is refused rather than
// dereferenced as a certificate.
constexpr std::uint32_t kLiveMagic = 0x43455254;  // "CERT"

// The public record comes first, so a PCCERT_CONTEXT is the object's
// address.
struct cert_object {
  CERT_CONTEXT pub{};
  CERT_INFO info{};
  std::uint32_t magic = kLiveMagic;
  std::atomic<long> refs{1};
  X509* x509 = nullptr;
  std::vector<unsigned char> der, serial, issuer, subject;
  std::string sigalg;

  ~cert_object() {
    magic = 0;
    X509_free(x509);
  }
};
static_assert(std::is_standard_layout_v<CERT_CONTEXT>);

cert_object* object_of(PCCERT_CONTEXT context) {
  auto* obj = reinterpret_cast<cert_object*>(const_cast<CERT_CONTEXT*>(context));
  return obj && obj->magic == kLiveMagic ? obj : nullptr;
}

// 100 ns units since 1601 for an ASN.1 time (0 when it cannot be read).
FILETIME filetime_of(const ASN1_TIME* t) {
  FILETIME ft{0, 0};
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return ft;
  const long long unix_seconds = timegm(&tm);
  const unsigned long long v =
      static_cast<unsigned long long>(unix_seconds + 11644473600LL) * 10000000ULL;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

DATA_BLOB blob_of(std::vector<unsigned char>& bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), bytes.data()};
}

// The text of a name entry's value.
std::wstring entry_text(const X509_NAME_ENTRY* entry) {
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  std::wstring text;
  if (n >= 0) text = wide_from_utf8(std::string_view(reinterpret_cast<char*>(utf8), n));
  OPENSSL_free(utf8);
  return text;
}

// The first entry of `nid` in `name`, or the empty text.
std::wstring first_of(const X509_NAME* name, int nid, bool* found = nullptr) {
  const int i = X509_NAME_get_index_by_NID(name, nid, -1);
  if (found) *found = i >= 0;
  return i < 0 ? std::wstring() : entry_text(X509_NAME_get_entry(name, i));
}

// The display name: the first common name, else unit, organisation, e-mail,
// else whatever the name's first attribute is.
std::wstring simple_display(const X509_NAME* name) {
  for (int nid :
       {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    bool found = false;
    std::wstring text = first_of(name, nid, &found);
    if (found) return text;
  }
  return X509_NAME_entry_count(name) > 0 ? entry_text(X509_NAME_get_entry(name, 0))
                                         : std::wstring();
}

// The first e-mail address of the subject's alternative names, else of the
// name itself.
std::wstring email_of(X509* cert, const X509_NAME* name, bool issuer) {
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
      cert, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr));
  std::wstring text;
  bool found = false;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && !found; ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
    if (gn->type != GEN_EMAIL) continue;
    const ASN1_IA5STRING* s = gn->d.rfc822Name;
    text = wide_from_utf8(std::string_view(reinterpret_cast<const char*>(s->data), s->length));
    found = true;
  }
  GENERAL_NAMES_free(names);
  return found ? text : first_of(name, NID_pkcs9_emailAddress);
}

// One hash of the DER bytes as a property value.
bool digest_property(const cert_object& obj, const EVP_MD* md, std::vector<unsigned char>& out) {
  unsigned int n = EVP_MAX_MD_SIZE;
  out.resize(n);
  if (!EVP_Digest(obj.der.data(), obj.der.size(), out.data(), &n, md, nullptr)) return false;
  out.resize(n);
  return true;
}

}  // namespace

PCCERT_CONTEXT context_from_x509(X509* cert) {
  if (!cert) {
    ::SetLastError(kInvalidArg);
    return nullptr;
  }
  auto* obj = new cert_object;
  X509_up_ref(cert);
  obj->x509 = cert;
  unsigned char* der = nullptr;
  const int n = i2d_X509(cert, &der);
  if (n <= 0) {
    delete obj;
    ::SetLastError(kCryptAsn1BadTag);
    return nullptr;
  }
  obj->der.assign(der, der + n);
  OPENSSL_free(der);

  obj->serial = serial_little_endian(X509_get0_serialNumber(cert));
  obj->issuer = name_der(X509_get_issuer_name(cert));
  obj->subject = name_der(X509_get_subject_name(cert));
  char oid[128] = {};
  OBJ_obj2txt(oid, sizeof oid, X509_get0_tbs_sigalg(cert)->algorithm, 1);
  obj->sigalg = oid;

  obj->info.dwVersion = static_cast<DWORD>(X509_get_version(cert));
  obj->info.SerialNumber = blob_of(obj->serial);
  obj->info.SignatureAlgorithm.pszObjId = obj->sigalg.data();
  obj->info.Issuer = blob_of(obj->issuer);
  obj->info.Subject = blob_of(obj->subject);
  obj->info.NotBefore = filetime_of(X509_get0_notBefore(cert));
  obj->info.NotAfter = filetime_of(X509_get0_notAfter(cert));
  obj->pub.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  obj->pub.pbCertEncoded = obj->der.data();
  obj->pub.cbCertEncoded = static_cast<DWORD>(obj->der.size());
  obj->pub.pCertInfo = &obj->info;
  return &obj->pub;
}

X509* x509_of(PCCERT_CONTEXT context) {
  cert_object* obj = object_of(context);
  return obj ? obj->x509 : nullptr;
}

}  // namespace krCore::detail

using namespace krCore::detail;

extern "C" {

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* encoded, DWORD size) {
  if (!(encoding & X509_ASN_ENCODING) || !encoded) {
    ::SetLastError(kInvalidArg);
    return nullptr;
  }
  const unsigned char* p = encoded;
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(size));
  if (!cert) {
    ::SetLastError(kCryptAsn1BadTag);
    return nullptr;
  }
  PCCERT_CONTEXT context = context_from_x509(cert);
  X509_free(cert);
  return context;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  cert_object* obj = object_of(context);
  if (obj) obj->refs.fetch_add(1, std::memory_order_relaxed);
  return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  if (!context) return TRUE;
  cert_object* obj = object_of(context);
  if (!obj) {
    ::SetLastError(kInvalidArg);
    return FALSE;
  }
  if (obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete obj;
  return TRUE;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara,
                         wchar_t* name, DWORD size) {
  X509* cert = x509_of(context);
  if (!cert) {
    ::SetLastError(kInvalidArg);
    return 0;
  }
  const bool issuer = (flags & CERT_NAME_ISSUER_FLAG) != 0;
  const X509_NAME* xname = issuer ? X509_get_issuer_name(cert) : X509_get_subject_name(cert);
  std::wstring text;
  switch (type) {
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
      text = simple_display(xname);
      break;
    case CERT_NAME_EMAIL_TYPE:
      text = email_of(cert, xname, issuer);
      break;
    case CERT_NAME_ATTR_TYPE: {
      const int nid = typePara ? OBJ_txt2nid(static_cast<const char*>(typePara)) : NID_undef;
      if (nid != NID_undef) text = first_of(xname, nid);
      break;
    }
    default:
      break;
  }
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (!name || size == 0) return needed;
  const DWORD n = std::min<DWORD>(size - 1, static_cast<DWORD>(text.size()));
  std::wmemcpy(name, text.data(), n);
  name[n] = L'\0';
  return n + 1;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD id, void* data, DWORD* size) {
  cert_object* obj = object_of(context);
  if (!obj || !size) {
    ::SetLastError(kInvalidArg);
    return FALSE;
  }
  const EVP_MD* md = id == CERT_SHA1_HASH_PROP_ID     ? EVP_sha1()
                     : id == CERT_MD5_HASH_PROP_ID    ? EVP_md5()
                     : id == CERT_SHA256_HASH_PROP_ID ? EVP_sha256()
                                                      : nullptr;
  std::vector<unsigned char> value;
  if (!md || !digest_property(*obj, md, value)) {
    ::SetLastError(kCryptNotFound);
    return FALSE;
  }
  const DWORD needed = static_cast<DWORD>(value.size());
  if (!data) {
    *size = needed;
    return TRUE;
  }
  if (*size < needed) {
    *size = needed;
    ::SetLastError(kErrorMoreData);
    return FALSE;
  }
  std::memcpy(data, value.data(), needed);
  *size = needed;
  return TRUE;
}

}  // extern "C"
