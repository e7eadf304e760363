// The signature of a PE file in memory, found by the library's header walk
// and decoded here with OpenSSL, for tests that inspect or rework it.
#pragma once

#include <openssl/pkcs7.h>

#include <cstddef>
#include <memory>

#include "signatures/authenticode.h"

namespace sigtest {

struct pkcs7_free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using pkcs7_ptr = std::unique_ptr<PKCS7, pkcs7_free>;

// 0 with `p7` holding the decoded signature, else the walk's error or
// TRUST_E_NOSIGNATURE for bytes that do not decode.
inline unsigned long read_signature(const unsigned char* data, std::size_t size,
                                    krCore::detail::pe_layout& layout, pkcs7_ptr& p7) {
  const unsigned char* der = nullptr;
  std::size_t der_size = 0;
  if (const unsigned long error =
          krCore::detail::find_pe_signature(data, size, layout, der, der_size))
    return error;
  p7.reset(d2i_PKCS7(nullptr, &der, static_cast<long>(der_size)));
  return p7 ? 0 : 0x800B0100;
}

}  // namespace sigtest
