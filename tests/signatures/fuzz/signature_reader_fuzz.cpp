// libFuzzer target for the certificate-table and signature reader: any
// bytes as a PE file, through the PE header walk, the PKCS #7 decoding, the
// indirect-data and signer checks, time stamps and chain building, and the
// certificate contexts and names of every certificate the signature
// carries. It must never crash, leak or read out of bounds, and a file
// whose signature cannot be read is never trusted.
#include <krcore/signatures.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>

#include "../decoded_signature.h"
#include "signatures/authenticode.h"
#include "signatures/crypto_api.h"

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
