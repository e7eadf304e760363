// Reads a PE file to verify and decodes the signature of its certificate
// table with OpenSSL's DER reader (the header walk is find_pe_signature).
#include "signatures/linux/pe_signature.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <new>

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "signatures/crypto_api.h"

namespace krCore::detail {

unsigned long file_snapshot::open(const std::string& path) {
  _bytes.clear();
  unique_fd fd;
  struct stat st {};
  file_result r = open_untrusted(AT_FDCWD, path, file_kind::regular, final_link::follow, fd, st);
  // Windows opens no FIFO or device as a file to verify; it answers 5.
  if (!r) return r.code == kErrorInvalidData ? kErrorAccessDenied : r.code;
  try {
    r = read_bounded(fd.get(), path, kMaxSize, _bytes);
  } catch (const std::bad_alloc&) {
    _bytes.clear();
    return kErrorNotEnoughMemory;
  }
  return r.code;
}

unsigned long read_pe_signature(const unsigned char* data, std::size_t size, pe_layout& layout,
                                pkcs7_ptr& signature) {
  const unsigned char* der = nullptr;
  std::size_t der_size = 0;
  if (const unsigned long error = find_pe_signature(data, size, layout, der, der_size))
    return error;
  signature.reset(d2i_PKCS7(nullptr, &der, static_cast<long>(der_size)));
  if (!signature || !PKCS7_type_is_signed(signature.get()) || !signature->d.sign ||
      !signature->d.sign->contents) {
    signature.reset();
    return kTrustNoSignature;
  }
  return 0;
}

}  // namespace krCore::detail
