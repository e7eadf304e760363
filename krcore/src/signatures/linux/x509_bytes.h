// Internal: the byte forms of certificate fields that the platform's
// certificate records keep.
#pragma once

#include <openssl/x509.h>

#include <vector>

namespace krCore::detail {

// The DER encoding of a name (empty when it cannot be encoded).
std::vector<unsigned char> name_der(const X509_NAME* name);

// A serial number's bytes least significant first, as CERT_INFO keeps them;
// at least one byte.
std::vector<unsigned char> serial_little_endian(const ASN1_INTEGER* serial);

}  // namespace krCore::detail
