// Finds a PE file's signature: the headers are walked by hand, only as far
// as the data directories, and every offset is checked against the size.
#include "signatures/authenticode.h"

#include <cstdint>

#include "signatures/crypto_api.h"

namespace krCore::detail {
namespace {

std::uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// True when [offset, offset + length) lies inside a file of `size` bytes.
bool inside(std::size_t offset, std::size_t length, std::size_t size) {
  return offset <= size && length <= size - offset;
}

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr std::size_t kSecurityDirectory = 4;

}  // namespace

unsigned long find_pe_layout(const unsigned char* data, std::size_t size, std::size_t file_size,
                             pe_layout& layout) {
  // DOS header, then the PE signature and the file header.
  if (!inside(0, 0x40, size) || data[0] != 'M' || data[1] != 'Z') return kTrustSubjectFormUnknown;
  const std::size_t pe = le32(data + 0x3C);
  if (!inside(pe, 24, size) || data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] ||
      data[pe + 3])
    return kTrustSubjectFormUnknown;
  const std::size_t optional = pe + 24;
  const std::size_t optional_size = le16(data + pe + 20);
  if (!inside(optional, 2, size)) return kTrustSubjectFormUnknown;
  const std::uint16_t magic = le16(data + optional);
  std::size_t directories;
  if (magic == kPe32Magic)
    directories = optional + 96;
  else if (magic == kPe32PlusMagic)
    directories = optional + 112;
  else
    return kTrustSubjectFormUnknown;
  if (optional_size < directories - optional || !inside(optional, optional_size, size))
    return kTrustSubjectFormUnknown;
  layout.checksum = optional + 64;
  const std::uint32_t directory_count = le32(data + directories - 4);
  layout.cert_entry = directories + kSecurityDirectory * 8;
  if (directory_count <= kSecurityDirectory || !inside(layout.cert_entry, 8, size) ||
      layout.cert_entry + 8 > optional + optional_size)
    return kTrustNoSignature;

  // The certificate table: a file offset, not an address.
  layout.cert_table = le32(data + layout.cert_entry);
  layout.cert_size = le32(data + layout.cert_entry + 4);
  if (layout.cert_size == 0 && layout.cert_table == 0) return kTrustNoSignature;
  if (layout.cert_size < 8 || !inside(layout.cert_table, layout.cert_size, file_size) ||
      layout.cert_table < layout.cert_entry + 8)
    return kTrustNoSignature;
  return 0;
}

unsigned long pe_signature_entry(const unsigned char* table, const pe_layout& layout,
                                 const unsigned char*& signature, std::size_t& signature_size) {
  // The table's first entry is the signature.
  const std::uint32_t length = le32(table);
  if (length < 8 || length > layout.cert_size || le16(table + 4) != kWinCertRevision2 ||
      le16(table + 6) != kWinCertTypePkcsSignedData)
    return kTrustNoSignature;
  // The signature is the table's only entry, padded to eight bytes: the
  // digest leaves the whole table out, so anything after the entry (a
  // second entry, or bytes the table's size was raised over) would ride
  // along unchecked.
  if ((static_cast<std::size_t>(length) + 7) / 8 * 8 != layout.cert_size) return kTrustNoSignature;
  signature = table + 8;
  signature_size = length - 8;
  return 0;
}

unsigned long find_pe_signature(const unsigned char* data, std::size_t size, pe_layout& layout,
                                const unsigned char*& signature, std::size_t& signature_size) {
  if (const unsigned long error = find_pe_layout(data, size, size, layout)) return error;
  return pe_signature_entry(data + layout.cert_table, layout, signature, signature_size);
}

}  // namespace krCore::detail
