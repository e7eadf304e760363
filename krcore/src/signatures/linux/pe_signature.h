// Internal: the bytes of a PE file to verify, the places of its
// Authenticode signature, and the signed message read from its certificate
// table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "foundation/internal.h"
#include "foundation/linux/untrusted_file.h"
#include "signatures/authenticode.h"

namespace krCore::detail {

struct pkcs7_free_t {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using pkcs7_ptr = std::unique_ptr<PKCS7, pkcs7_free_t>;

// A PE file to verify, read with positioned reads in bounded pieces: the
// headers are looked at first (a file that is no PE image costs one small
// read), the certificate table is held, and the rest is streamed through a
// fixed buffer to the digest. The file is not mapped: another process may
// truncate it during the check, and a mapping would then fault; a read only
// gives the bytes that are there. Not thread-safe.
class KRCORE_INTERNAL pe_file {
 public:
  // The format's offsets are 32-bit: no PE file is longer than this.
  static constexpr std::uint64_t kMaxSize = 0x100000000ull;
  // The headers are read up to here at most, the certificate table too.
  static constexpr std::size_t kMaxHeaders = std::size_t{1} << 20;
  static constexpr std::size_t kMaxTable = std::size_t{16} << 20;

  pe_file() = default;
  pe_file(const pe_file&) = delete;
  pe_file& operator=(const pe_file&) = delete;

  // 0, or the Win32 code of the failure: 5 for a folder, a FIFO, a device
  // or a socket (never read, so nothing blocks), 223 for a file longer than
  // kMaxSize, else the system's code of the open.
  unsigned long open(const std::string& path);
  std::uint64_t size() const { return _size; }

  // Reads the headers and the certificate table and decodes the signature
  // (see read_pe_signature): 0, TRUST_E_SUBJECT_FORM_UNKNOWN or
  // TRUST_E_NOSIGNATURE; a read that fails counts as no signature. The
  // signature may point into memory the object holds.
  unsigned long read_signature(pe_layout& layout, pkcs7_ptr& signature);

  // Feeds bytes [from, to) of the file to `ctx`; false when the file ends
  // first (it shrank) or a read fails.
  bool digest_range(EVP_MD_CTX* ctx, std::uint64_t from, std::uint64_t to);

 private:
  unique_fd _fd;
  std::uint64_t _size = 0;
  std::string _headers;
  std::string _table;
  // The digest's read buffer, aligned to a page (see digest_range).
  static constexpr std::size_t kPage = 4096;
  struct page_aligned_delete {
    void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t{kPage}); }
  };
  std::unique_ptr<unsigned char[], page_aligned_delete> _buffer;
};

// Decodes the DER bytes of a PKCS #7 message as d2i_PKCS7 does (trailing
// bytes ignored), null when they are none. The certificates of a signed
// message are shared with earlier messages that carried the very same
// certificate bytes, from a cache of the last 64 (signed_data.cpp); they are
// not to be changed. Thread-safe.
KRCORE_INTERNAL pkcs7_ptr decode_pkcs7(const unsigned char* der, std::size_t size);

// Finds the first certificate-table entry of `file` (find_pe_signature) and
// decodes it as a PKCS #7 SignedData. Returns 0, TRUST_E_SUBJECT_FORM_UNKNOWN
// for a file that is no PE image, or TRUST_E_NOSIGNATURE when there is no
// readable signature.
KRCORE_INTERNAL unsigned long read_pe_signature(const unsigned char* data, std::size_t size,
                                                pe_layout& layout, pkcs7_ptr& signature);

}  // namespace krCore::detail
