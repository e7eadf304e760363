// Byte forms of certificate names and serial numbers, shared by the
// certificate contexts, the signed-message records and the signer checks.
#include "signatures/linux/x509_bytes.h"

#include <openssl/bn.h>

namespace krCore::detail {

std::vector<unsigned char> name_der(const X509_NAME* name) {
  unsigned char* out = nullptr;
  const int n = i2d_X509_NAME(name, &out);
  std::vector<unsigned char> bytes;
  if (n > 0) bytes.assign(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

std::vector<unsigned char> serial_little_endian(const ASN1_INTEGER* serial) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(serial, nullptr);
  std::vector<unsigned char> bytes(bn ? static_cast<std::size_t>(BN_num_bytes(bn)) : 0);
  if (bn) BN_bn2lebinpad(bn, bytes.data(), static_cast<int>(bytes.size()));
  BN_free(bn);
  if (bytes.empty()) bytes.push_back(0);
  return bytes;
}

}  // namespace krCore::detail
