// The signed message of a file's embedded signature and the certificate
// store made of the certificates it carries, read without judging trust:
// the signer is named by issuer and serial number and found in the store.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/utf.h"
#include "signatures/crypto_api.h"
#include "signatures/linux/pe_signature.h"
#include "signatures/linux/x509_bytes.h"

namespace krCore::detail {
namespace {

struct cert_store {
  std::vector<X509*> certs;
  ~cert_store() {
    for (X509* c : certs) X509_free(c);
  }
};

struct signed_message {
  pkcs7_ptr pkcs7;
};

bool same_blob(const DATA_BLOB& blob, const std::vector<unsigned char>& bytes) {
  return blob.cbData == bytes.size() &&
         (bytes.empty() || std::memcmp(blob.pbData, bytes.data(), bytes.size()) == 0);
}

}  // namespace

BOOL CryptQueryObject(DWORD objectType, const void* object, DWORD contentFlags, DWORD,
                      HCERTSTORE* store, HCRYPTMSG* message) {
  if (objectType != kQueryObjectFile || !object ||
      !(contentFlags & kQueryContentPkcs7SignedEmbed)) {
    ::SetLastError(kInvalidArg);
    return FALSE;
  }
  pe_file file;
  if (unsigned long error = file.open(file_name_from_wide(static_cast<const wchar_t*>(object)))) {
    ::SetLastError(static_cast<DWORD>(error));
    return FALSE;
  }
  pe_layout layout;
  auto msg = std::make_unique<signed_message>();
  const unsigned long r = file.read_signature(layout, msg->pkcs7);
  ERR_clear_error();
  if (r != 0) {
    ::SetLastError(kCryptNoMatch);
    return FALSE;
  }
  if (store) {
    auto s = std::make_unique<cert_store>();
    STACK_OF(X509)* certs = msg->pkcs7->d.sign->cert;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
      X509* c = sk_X509_value(certs, i);
      X509_up_ref(c);
      s->certs.push_back(c);
    }
    *store = s.release();
  }
  if (message) *message = msg.release();
  return TRUE;
}

BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD param, DWORD index, void* data, DWORD* size) {
  auto* msg = static_cast<signed_message*>(message);
  if (!msg || !size || param != kMsgSignerInfoParam) {
    ::SetLastError(kInvalidArg);
    return FALSE;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(msg->pkcs7.get());
  if (!signers || static_cast<int>(index) >= sk_PKCS7_SIGNER_INFO_num(signers)) {
    ::SetLastError(kCryptNotFound);
    return FALSE;
  }
  const PKCS7_ISSUER_AND_SERIAL* ias =
      sk_PKCS7_SIGNER_INFO_value(signers, index)->issuer_and_serial;
  const std::vector<unsigned char> issuer = name_der(ias->issuer);
  const std::vector<unsigned char> serial = serial_little_endian(ias->serial);
  // The record, then the issuer's and the serial number's bytes behind it.
  const DWORD needed = static_cast<DWORD>(sizeof(CMSG_SIGNER_INFO) + issuer.size() + serial.size());
  if (!data) {
    *size = needed;
    return TRUE;
  }
  if (*size < needed) {
    *size = needed;
    ::SetLastError(kErrorMoreData);
    return FALSE;
  }
  auto* info = static_cast<CMSG_SIGNER_INFO*>(data);
  auto* bytes = static_cast<BYTE*>(data) + sizeof(CMSG_SIGNER_INFO);
  info->dwVersion = 1;
  info->Issuer = {static_cast<DWORD>(issuer.size()), bytes};
  std::memcpy(bytes, issuer.data(), issuer.size());
  info->SerialNumber = {static_cast<DWORD>(serial.size()), bytes + issuer.size()};
  std::memcpy(bytes + issuer.size(), serial.data(), serial.size());
  *size = needed;
  return TRUE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD, DWORD, DWORD findType,
                                          const void* para, PCCERT_CONTEXT previous) {
  CertFreeCertificateContext(previous);
  auto* s = static_cast<cert_store*>(store);
  const auto* key = static_cast<const CERT_INFO*>(para);
  if (!s || !key || findType != kFindSubjectCert) {
    ::SetLastError(kInvalidArg);
    return nullptr;
  }
  for (X509* c : s->certs) {
    if (same_blob(key->Issuer, name_der(X509_get_issuer_name(c))) &&
        same_blob(key->SerialNumber, serial_little_endian(X509_get0_serialNumber(c))))
      return context_from_x509(c);
  }
  ::SetLastError(kCryptNotFound);
  return nullptr;
}

BOOL CertCloseStore(HCERTSTORE store, DWORD) {
  delete static_cast<cert_store*>(store);
  return TRUE;
}

BOOL CryptMsgClose(HCRYPTMSG message) {
  delete static_cast<signed_message*>(message);
  return TRUE;
}


}  // namespace krCore::detail
