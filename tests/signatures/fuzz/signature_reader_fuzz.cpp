// libFuzzer target for the certificate-table and signature reader: any
// bytes as a PE file, through the PE header walk, the PKCS #7 decoding, the
// indirect-data and signer checks, time stamps and chain building, and the
// certificate contexts and names of every certificate the signature
// carries. It must never crash, leak or read out of bounds, a file whose
// signature cannot be read is never trusted, and the message read with
// cached certificates is the one decoding the whole bytes gives.
#include <krcore/signatures.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../decoded_signature.h"
#include "signatures/authenticode.h"
#include "signatures/crypto_api.h"
#include "signatures/linux/pe_signature.h"

namespace {

std::vector<unsigned char> encoded(PKCS7* p7) {
  unsigned char* out = nullptr;
  const int n = i2d_PKCS7(p7, &out);
  std::vector<unsigned char> bytes(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace krCore::detail;
  const unsigned long verdict = verify_authenticode_bytes(data, size);

  pe_layout layout;
  sigtest::pkcs7_ptr signature;
  if (sigtest::read_signature(data, size, layout, signature) != 0 ||
      !PKCS7_type_is_signed(signature.get())) {
    if (verdict == 0) std::abort();  // trusted without a readable signature
    return 0;
  }
  // The library reads the message with certificates from its cache: it
  // must be the one decoding the whole bytes gives.
  const unsigned char* der = nullptr;
  std::size_t der_size = 0;
  find_pe_signature(data, size, layout, der, der_size);
  const pkcs7_ptr cached = decode_pkcs7(der, der_size);
  if (!cached || encoded(cached.get()) != encoded(signature.get())) std::abort();

  STACK_OF(X509)* certs = signature->d.sign->cert;
  for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
    PCCERT_CONTEXT context = context_from_x509(sk_X509_value(certs, i));
    if (!context) continue;
    wchar_t name[64];
    for (DWORD type : {CERT_NAME_EMAIL_TYPE, CERT_NAME_SIMPLE_DISPLAY_TYPE}) {
      CertGetNameStringW(context, type, 0, nullptr, name, 64);
      CertGetNameStringW(context, type, CERT_NAME_ISSUER_FLAG, nullptr, name, 64);
    }
    DWORD bytes = 0;
    CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, nullptr, &bytes);
    CertFreeCertificateContext(context);
  }
  return 0;
}
