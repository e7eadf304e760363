// Maps a PE file and decodes the signature of its certificate table with
// OpenSSL's DER reader (the header walk is find_pe_signature).
#include "signatures/linux/pe_signature.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "foundation/errors.h"
#include "signatures/crypto_api.h"

namespace krCore::detail {

mapped_file::~mapped_file() {
  if (_data && _size) ::munmap(const_cast<unsigned char*>(_data), _size);
}

unsigned long mapped_file::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_errno_as_win32();
  struct stat st {};
  unsigned long result = 0;
  if (::fstat(fd, &st) != 0) {
    result = last_errno_as_win32();
  } else if (!S_ISREG(st.st_mode)) {
    result = kErrorAccessDenied;
  } else if (st.st_size > 0) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      result = last_errno_as_win32();
    } else {
      _data = static_cast<const unsigned char*>(p);
      _size = static_cast<std::size_t>(st.st_size);
      // The digest reads the file once from start to end.
      ::madvise(p, _size, MADV_SEQUENTIAL | MADV_WILLNEED);
    }
  }
  ::close(fd);
  return result;
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
