// Internal: a PE file mapped read-only, the places of its Authenticode
// signature, and the signed message read from its certificate table.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "foundation/internal.h"
#include "signatures/authenticode.h"

namespace krCore::detail {

// A whole file mapped read-only; empty files are held as no bytes.
class KRCORE_INTERNAL mapped_file {
 public:
  mapped_file() = default;
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;
  ~mapped_file();
  // 0, or the Win32 code of the failing open, stat or map.
  unsigned long open(const std::string& path);
  const unsigned char* data() const { return _data; }
  std::size_t size() const { return _size; }

 private:
  const unsigned char* _data = nullptr;
  std::size_t _size = 0;
};

struct pkcs7_free_t {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using pkcs7_ptr = std::unique_ptr<PKCS7, pkcs7_free_t>;

// Finds the first certificate-table entry of `file` (find_pe_signature) and
// decodes it as a PKCS #7 SignedData. Returns 0, TRUST_E_SUBJECT_FORM_UNKNOWN
// for a file that is no PE image, or TRUST_E_NOSIGNATURE when there is no
// readable signature.
KRCORE_INTERNAL unsigned long read_pe_signature(const unsigned char* data, std::size_t size,
                                                pe_layout& layout, pkcs7_ptr& signature);

}  // namespace krCore::detail
