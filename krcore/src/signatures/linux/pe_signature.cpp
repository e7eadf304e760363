// Reads a PE file to verify, in bounded pieces, and decodes the signature
// of its certificate table with OpenSSL's DER reader (the header walk is
// find_pe_layout).
#include "signatures/linux/pe_signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "foundation/errors.h"
#include "signatures/crypto_api.h"

namespace krCore::detail {

namespace {

constexpr unsigned long kErrorFileTooLarge = 223;
constexpr std::size_t kHeaderWindow = 4096;
constexpr std::size_t kDigestChunk = std::size_t{64} << 10;  // a multiple of kPage

// The signed message in the DER bytes of a certificate-table entry.
unsigned long decode_signature(const unsigned char* der, std::size_t der_size,
                               pkcs7_ptr& signature) {
  signature = decode_pkcs7(der, der_size);
  if (!signature || !PKCS7_type_is_signed(signature.get()) || !signature->d.sign ||
      !signature->d.sign->contents) {
    signature.reset();
    return kTrustNoSignature;
  }
  return 0;
}

// Reads `size` bytes at `offset` into `out`; false when the file ends first
// or the read fails.
bool read_piece(int fd, std::uint64_t offset, std::size_t size, std::string& out) {
  out.resize(size);
  return read_exact_at(fd, out.data(), size, static_cast<off_t>(offset)) == 0;
}

}  // namespace

unsigned long pe_file::open(const std::string& path) {
  struct stat st {};
  const file_result r =
      open_untrusted(AT_FDCWD, path, file_kind::regular, final_link::follow, _fd, st);
  // Windows opens no FIFO or device as a file to verify; it answers 5.
  if (!r) return r.code == kErrorInvalidData ? kErrorAccessDenied : r.code;
  _size = static_cast<std::uint64_t>(st.st_size);
  if (_size > kMaxSize) return kErrorFileTooLarge;
  return 0;
}

unsigned long pe_file::read_signature(pe_layout& layout, pkcs7_ptr& signature) {
  // The first page holds the headers of nearly every image; a file that is
  // no image is told from it alone.
  std::size_t window = static_cast<std::size_t>(std::min<std::uint64_t>(_size, kHeaderWindow));
  if (!read_piece(_fd.get(), 0, window, _headers)) return kTrustSubjectFormUnknown;
  if (window >= 0x40 && _headers[0] == 'M' && _headers[1] == 'Z') {
    // Headers further in: as far as the largest optional header reaches.
    const auto* p = reinterpret_cast<const unsigned char*>(_headers.data()) + 0x3C;
    const std::uint64_t pe = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint64_t{p[3]} << 24);
    const std::uint64_t reach = std::min<std::uint64_t>(_size, pe + 24 + 0xFFFF);
    if (reach > window && reach <= kMaxHeaders) {
      window = static_cast<std::size_t>(reach);
      if (!read_piece(_fd.get(), 0, window, _headers)) return kTrustSubjectFormUnknown;
    }
  }
  const auto* headers = reinterpret_cast<const unsigned char*>(_headers.data());
  if (const unsigned long error = find_pe_layout(headers, window, _size, layout)) return error;
  if (layout.cert_size > kMaxTable ||
      !read_piece(_fd.get(), layout.cert_table, layout.cert_size, _table))
    return kTrustNoSignature;
  const unsigned char* der = nullptr;
  std::size_t der_size = 0;
  if (const unsigned long error = pe_signature_entry(
          reinterpret_cast<const unsigned char*>(_table.data()), layout, der, der_size))
    return error;
  return decode_signature(der, der_size, signature);
}

bool pe_file::digest_range(EVP_MD_CTX* ctx, std::uint64_t from, std::uint64_t to) {
  // The kernel copies from the page cache several times faster to a
  // page-aligned buffer from a page boundary of the file than from and to
  // arbitrary places: each read starts at the page that holds `from`, and
  // the digest takes the part of it that lies in the range.
  if (!_buffer) _buffer.reset(new (std::align_val_t{kPage}) unsigned char[kDigestChunk]);
  while (from < to) {
    const std::uint64_t start = from & ~std::uint64_t{kPage - 1};
    const auto skip = static_cast<std::size_t>(from - start);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kDigestChunk, to - start));
    const ssize_t got = ::pread(_fd.get(), _buffer.get(), n, static_cast<off_t>(start));
    if (got < 0 && errno == EINTR) continue;
    // Nothing past `from`: the file ends before the range does (it shrank).
    if (got <= static_cast<ssize_t>(skip)) return false;
    if (!EVP_DigestUpdate(ctx, _buffer.get() + skip, static_cast<std::size_t>(got) - skip))
      return false;
    from = start + static_cast<std::uint64_t>(got);
  }
  return true;
}

unsigned long read_pe_signature(const unsigned char* data, std::size_t size, pe_layout& layout,
                                pkcs7_ptr& signature) {
  const unsigned char* der = nullptr;
  std::size_t der_size = 0;
  if (const unsigned long error = find_pe_signature(data, size, layout, der, der_size))
    return error;
  return decode_signature(der, der_size, signature);
}

}  // namespace krCore::detail
