// Internal: a PE file mapped read-only, the places of its Authenticode
// signature, and the signed message read from its certificate table.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "foundation/internal.h"

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

// File offsets of what the image digest leaves out.
struct pe_layout {
  std::size_t checksum = 0;    // the 4-byte checksum field
  std::size_t cert_entry = 0;  // the 8-byte certificate-table directory entry
  std::size_t cert_table = 0;  // the certificate table (a file offset)
  std::size_t cert_size = 0;
};

struct pkcs7_free_t {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using pkcs7_ptr = std::unique_ptr<PKCS7, pkcs7_free_t>;

// Finds the PE headers and the first certificate-table entry of `file`, and
// decodes it as a PKCS #7 SignedData. Every offset is checked against the
// file size. Returns 0, TRUST_E_SUBJECT_FORM_UNKNOWN for a file that is no
// PE image, or TRUST_E_NOSIGNATURE when there is no readable signature.
KRCORE_INTERNAL unsigned long read_pe_signature(const unsigned char* data, std::size_t size,
                                                pe_layout& layout, pkcs7_ptr& signature);

}  // namespace krCore::detail
