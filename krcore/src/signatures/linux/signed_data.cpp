// PKCS #7 signed messages decoded with their certificates taken from a
// small process-wide cache. Decoding a certificate decodes its public key,
// and OpenSSL 3 looks up a decoder for that through its providers each
// time: the certificates of a file's signature and of its time stamp cost
// more than all else a check does besides hashing the file. The same few
// certificates sign most files, so each is decoded once and shared; a
// certificate is only ever found by its full DER bytes, so no other
// certificate can stand in for it.
//
// The certificates field is not covered by the signature, so leaving it out
// of the bytes OpenSSL decodes and setting the certificates decoded from its
// elements in its place gives the message that decoding the whole would.
// Anything that is not plain definite-length DER of the expected shape is
// decoded whole, as before.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/fork_child.h"
#include "foundation/kill_hold.h"
#include "signatures/linux/pe_signature.h"

namespace krCore::detail {
namespace {

// One DER element: its tag byte, and where it starts, its content starts
// and it ends.
struct element {
  unsigned char tag = 0;
  const unsigned char* start = nullptr;
  const unsigned char* body = nullptr;
  const unsigned char* end = nullptr;
};

// Reads the element at `p` that lies within `end` and moves `p` past it.
// Only low tag numbers and definite lengths are taken.
bool next_element(const unsigned char*& p, const unsigned char* end, element& out) {
  if (end - p < 2 || (p[0] & 0x1F) == 0x1F) return false;
  out.tag = p[0];
  out.start = p;
  const unsigned char* q = p + 2;
  std::size_t length = p[1];
  if (length & 0x80) {
    const std::size_t octets = length & 0x7F;
    if (octets == 0 || octets > 4 || static_cast<std::size_t>(end - q) < octets) return false;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | *q++;
  }
  if (length > static_cast<std::size_t>(end - q)) return false;
  out.body = q;
  out.end = q + length;
  p = out.end;
  return true;
}

void put_header(std::vector<unsigned char>& out, unsigned char tag, std::size_t length) {
  out.push_back(tag);
  if (length < 0x80) {
    out.push_back(static_cast<unsigned char>(length));
    return;
  }
  int octets = 0;
  for (std::size_t n = length; n; n >>= 8) ++octets;
  out.push_back(static_cast<unsigned char>(0x80 | octets));
  for (int i = octets - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(length >> (8 * i)));
}

// The size of the header put_header writes.
std::size_t header_size(std::size_t length) {
  std::size_t size = 2;
  if (length >= 0x80)
    for (std::size_t n = length; n; n >>= 8) ++size;
  return size;
}

// Decoded certificates by their DER bytes, the least recently used one
// dropped for a new one when full. Each holds a reference to its X509.
class certificate_cache {
 public:
  static constexpr std::size_t kCapacity = 64;
  // Larger ones (real ones are a few KiB) are decoded afresh each time, so
  // hostile files cannot keep much memory in the cache.
  static constexpr std::size_t kLargest = 16384;

  // Never freed: the certificates' keys belong to OpenSSL's providers,
  // which may be gone by the time static objects are destroyed. A child of
  // fork gets the cache as it was between two changes.
  static certificate_cache& get() { return lasting_across_fork<certificate_cache>(); }

  library_mutex mutex;  // guards _entries and _clock

  // The certificate whose DER encoding is exactly [der, der + size), as a
  // new reference; null when those bytes are no certificate. One whose key
  // cannot be had or lacks its parameters, or one over kLargest bytes, is
  // decoded afresh every time.
  X509* find_or_decode(const unsigned char* der, std::size_t size) {
    {
      std::lock_guard<library_mutex> lock(mutex);
      if (X509* cached = find_locked(der, size)) return cached;
    }
    const unsigned char* p = der;
    X509* decoded = d2i_X509(nullptr, &p, static_cast<long>(size));
    if (!decoded || p != der + size) {
      X509_free(decoded);
      return nullptr;
    }
    // A key without its parameters (DSA's may leave them to the issuer's)
    // gets them filled in by the chain it is verified in: such a
    // certificate is not shared, so no chain's parameters pass to another.
    const EVP_PKEY* key = X509_get0_pubkey(decoded);
    if (!key || EVP_PKEY_missing_parameters(key) || size > kLargest) return decoded;
    X509* spare = nullptr;  // the reference let go of once the lock is
    {
      std::lock_guard<library_mutex> lock(mutex);
      // Another thread may have added the same bytes meanwhile.
      if (X509* cached = find_locked(der, size)) {
        spare = decoded;
        decoded = cached;
      } else {
        spare = add_locked(der, size, decoded);
      }
    }
    X509_free(spare);
    return decoded;
  }

 private:
  struct entry {
    std::vector<unsigned char> der;
    X509* x509 = nullptr;
    std::uint64_t used = 0;
  };

  // With the lock held: the entry of these bytes as a new reference, or
  // null.
  X509* find_locked(const unsigned char* der, std::size_t size) {
    for (entry& e : _entries) {
      if (e.der.size() == size && std::memcmp(e.der.data(), der, size) == 0) {
        e.used = ++_clock;
        X509_up_ref(e.x509);
        return e.x509;
      }
    }
    return nullptr;
  }

  // With the lock held: keeps a reference to `x509` for these bytes, in
  // place of the least recently used entry when full; returns that entry's
  // reference for the caller to free, or null.
  X509* add_locked(const unsigned char* der, std::size_t size, X509* x509) {
    std::vector<unsigned char> bytes(der, der + size);  // first, as it may throw
    if (_entries.capacity() == 0) _entries.reserve(kCapacity);
    entry* slot = nullptr;
    X509* dropped = nullptr;
    if (_entries.size() < kCapacity) {
      slot = &_entries.emplace_back();
    } else {
      slot = &_entries.front();
      for (entry& e : _entries)
        if (e.used < slot->used) slot = &e;
      dropped = slot->x509;
    }
    slot->der = std::move(bytes);
    slot->x509 = x509;
    slot->used = ++_clock;
    X509_up_ref(x509);
    return dropped;
  }

  std::vector<entry> _entries;
  std::uint64_t _clock = 0;
};

struct x509_stack_free {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

// The content type of signed data, 1.2.840.113549.1.7.2, as DER contents.
constexpr unsigned char kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// The message decoded without its certificates field, and the certificates
// of that field from the cache; null when the bytes do not have the shape
// this expects (the caller then decodes them whole).
pkcs7_ptr decode_with_cached_certs(const unsigned char* der, std::size_t size) {
  const unsigned char* p = der;
  element info, type, wrapper, signed_data;
  if (!next_element(p, der + size, info) || info.tag != 0x30) return nullptr;
  p = info.body;
  if (!next_element(p, info.end, type) || type.tag != 0x06 ||
      type.end - type.body != sizeof kSignedDataOid ||
      std::memcmp(type.body, kSignedDataOid, sizeof kSignedDataOid) != 0 ||
      !next_element(p, info.end, wrapper) || wrapper.tag != 0xA0 || wrapper.end != info.end)
    return nullptr;
  p = wrapper.body;
  if (!next_element(p, wrapper.end, signed_data) || signed_data.tag != 0x30 ||
      signed_data.end != wrapper.end)
    return nullptr;
  // version, digest algorithms, content, then the certificates ([0]).
  p = signed_data.body;
  element field, certs;
  for (int i = 0; i < 3; ++i)
    if (!next_element(p, signed_data.end, field)) return nullptr;
  if (!next_element(p, signed_data.end, certs) || certs.tag != 0xA0) return nullptr;

  std::unique_ptr<STACK_OF(X509), x509_stack_free> stack(sk_X509_new_null());
  if (!stack) return nullptr;
  p = certs.body;
  while (p < certs.end) {
    element cert;
    if (!next_element(p, certs.end, cert) || cert.tag != 0x30) return nullptr;
    X509* x509 = certificate_cache::get().find_or_decode(
        cert.start, static_cast<std::size_t>(cert.end - cert.start));
    if (!x509) return nullptr;
    if (!sk_X509_push(stack.get(), x509)) {
      X509_free(x509);
      return nullptr;
    }
  }

  // The same message with the certificates field cut out.
  const std::size_t rest = static_cast<std::size_t>((certs.start - signed_data.body) +
                                                    (signed_data.end - certs.end));
  const std::size_t wrapped = header_size(rest) + rest;
  const std::size_t content = static_cast<std::size_t>(type.end - type.start) +
                              header_size(wrapped) + wrapped;
  std::vector<unsigned char> bytes;
  bytes.reserve(header_size(content) + content);
  put_header(bytes, 0x30, content);
  bytes.insert(bytes.end(), type.start, type.end);
  put_header(bytes, 0xA0, wrapped);
  put_header(bytes, 0x30, rest);
  bytes.insert(bytes.end(), signed_data.body, certs.start);
  bytes.insert(bytes.end(), certs.end, signed_data.end);
  const unsigned char* q = bytes.data();
  pkcs7_ptr message(d2i_PKCS7(nullptr, &q, static_cast<long>(bytes.size())));
  if (!message || !PKCS7_type_is_signed(message.get()) || !message->d.sign ||
      message->d.sign->cert)
    return nullptr;
  message->d.sign->cert = stack.release();
  return message;
}

}  // namespace

pkcs7_ptr decode_pkcs7(const unsigned char* der, std::size_t size) {
  if (pkcs7_ptr message = decode_with_cached_certs(der, size)) return message;
  return pkcs7_ptr(d2i_PKCS7(nullptr, &der, static_cast<long>(size)));
}

}  // namespace krCore::detail
