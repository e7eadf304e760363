// Internal: the Authenticode check of one PE file against the configured
// code-signing roots, and where a PE file's signature sits.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// File offsets of what the image digest leaves out.
struct pe_layout {
  std::size_t checksum = 0;    // the 4-byte checksum field
  std::size_t cert_entry = 0;  // the 8-byte certificate-table directory entry
  std::size_t cert_table = 0;  // the certificate table (a file offset)
  std::size_t cert_size = 0;
};

// The two halves of find_pe_signature, for a file read in pieces.
// find_pe_layout walks the headers in `data` (the file's first `size`
// bytes) and checks the certificate table's place against `file_size`:
// 0, TRUST_E_SUBJECT_FORM_UNKNOWN or TRUST_E_NOSIGNATURE. pe_signature_entry
// checks the certificate table (`table`, layout.cert_size bytes) and points
// `signature` into it: 0 or TRUST_E_NOSIGNATURE.
KRCORE_INTERNAL unsigned long find_pe_layout(const unsigned char* data, std::size_t size,
                                             std::size_t file_size, pe_layout& layout);
KRCORE_INTERNAL unsigned long pe_signature_entry(const unsigned char* table,
                                                 const pe_layout& layout,
                                                 const unsigned char*& signature,
                                                 std::size_t& signature_size);

// Walks the PE headers of the file in `data` to its first certificate-table
// entry, checking every offset against `size`. On success `signature` and
// `signature_size` are the entry's signed message (DER bytes, not yet
// decoded). Returns 0, TRUST_E_SUBJECT_FORM_UNKNOWN for a file that is no
// PE image, or TRUST_E_NOSIGNATURE when there is no signature entry.
KRCORE_INTERNAL unsigned long find_pe_signature(const unsigned char* data, std::size_t size,
                                                pe_layout& layout,
                                                const unsigned char*& signature,
                                                std::size_t& signature_size);

// The folder of trusted code-signing roots: KRCORE_CODESIGN_ROOTS when set
// and not empty, else /etc/krcore/codesign-roots.
KRCORE_INTERNAL std::string codesign_roots_folder();

// Verifies the file's primary signature: the image digest, the signature
// over the signed content, the signer's chain to a trusted root (at the
// time of a valid RFC 3161 time stamp or Authenticode counter-signature
// when one is attached, else now), and the signer's code-signing usage.
// 0 when trusted, else the 32-bit HRESULT of the first failing check; an
// unreadable file gives the HRESULT of its Win32 error.
KRCORE_INTERNAL unsigned long verify_authenticode(const std::string& path);

// The same check of a file already in memory.
KRCORE_INTERNAL unsigned long verify_authenticode_bytes(const unsigned char* data,
                                                        std::size_t size);

}  // namespace krCore::detail
