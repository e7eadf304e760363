// Internal: the bytes of a PE file to verify, the places of its
// Authenticode signature, and the signed message read from its certificate
// table.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "foundation/internal.h"
#include "signatures/authenticode.h"

namespace krCore::detail {

// The bytes of a file to verify, read once with positioned reads into
// memory the object owns. The file is not mapped: another process may
// truncate it during the check, and a mapping would then fault; a copy only
// gives the bytes that were there. Not thread-safe; empty files are held
// as no bytes.
class KRCORE_INTERNAL file_snapshot {
 public:
  // The format's offsets are 32-bit: no PE file is longer than this.
  static constexpr std::size_t kMaxSize = 0x100000000ull;

  file_snapshot() = default;
  file_snapshot(const file_snapshot&) = delete;
  file_snapshot& operator=(const file_snapshot&) = delete;
  // 0, or the Win32 code of the failure: 5 for a folder, a FIFO, a device
  // or a socket (never opened for reading, so nothing blocks), 223 for a
  // file longer than kMaxSize, 8 when memory runs out, else the system's
  // code of the open or the read.
  unsigned long open(const std::string& path);
  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(_bytes.data()); }
  std::size_t size() const { return _bytes.size(); }

 private:
  std::string _bytes;
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
