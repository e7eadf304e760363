// krkeyhelper: protects and unprotects with the machine key for accounts
// that may not read it. Installed set-user-ID root beside the library,
// which runs it with one socket as its standard input and output (the
// exchange is described in protection/linux/key_helper.h); it is not meant
// to be run by hand.
//
// It runs with root's rights on a request from any account, so it trusts
// nothing the caller chose: the library reads no environment variable in a
// process the kernel started with raised rights (so the key is always the
// installed one), every size is checked against the bound before anything
// is allocated, and only machine-scope protection, the one thing every
// account may already ask for, is done. What it decrypts goes back to the
// caller alone and is wiped before it exits.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <krcore/foundation.h>

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "protection/data_protection.h"
#include "protection/linux/key_helper.h"

namespace {

using namespace krCore::detail;

// Answers with `code` and the `size` bytes at `data`; false when the caller
// is gone.
bool answer(unsigned long code, const BYTE* data, std::size_t size) {
  unsigned char head[kHelperAnswerHeader];
  std::memcpy(head, kHelperMagic, sizeof kHelperMagic);
  put_le32(head + 4, static_cast<std::uint32_t>(code));
  put_le32(head + 8, static_cast<std::uint32_t>(size));
  return write_all(1, head, sizeof head) && (size == 0 || write_all(1, data, size));
}

int refuse(unsigned long code) {
  (void)answer(code, nullptr, 0);
  return 1;
}

// Bytes that are wiped when they go.
struct secret_bytes {
  std::vector<unsigned char> bytes;
  ~secret_bytes() {
    if (!bytes.empty()) wipe_secret(bytes.data(), bytes.size());
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr,
                 "%s: protects and unprotects with the machine key for the library; it takes "
                 "no arguments and is not meant to be run by hand\n",
                 argv[0]);
    return 2;
  }
  // Without root's rights the key is as far out of reach as for the caller,
  // and the library would only run this program again.
  if (::geteuid() != 0) return refuse(kErrorAccessDenied);
  unsigned char head[kHelperRequestHeader];
  if (!read_all(0, head, sizeof head) || std::memcmp(head, kHelperMagic, sizeof kHelperMagic) != 0 ||
      head[4] != kHelperVersion || (head[5] != kHelperProtect && head[5] != kHelperUnprotect))
    return refuse(kErrorInvalidData);
  const std::uint32_t entropy_size = get_le32(head + 8);
  const std::uint32_t data_size = get_le32(head + 12);
  if (entropy_size > kHelperMaxData || data_size > kHelperMaxData)
    return refuse(kErrorNotEnoughMemory);
  secret_bytes entropy, data;
  entropy.bytes.resize(entropy_size);
  data.bytes.resize(data_size);
  if (!read_all(0, entropy.bytes.data(), entropy_size) || !read_all(0, data.bytes.data(), data_size))
    return refuse(kErrorInvalidData);

  DATA_BLOB in{data_size, data.bytes.data()};
  DATA_BLOB extra{entropy_size, entropy.bytes.data()};
  DATA_BLOB out{0, nullptr};
  const DWORD flags = kCryptProtectLocalMachine | kCryptProtectUiForbidden;
  const BOOL done =
      head[5] == kHelperProtect
          ? CryptProtectData(&in, nullptr, entropy_size ? &extra : nullptr, nullptr, nullptr, flags,
                             &out)
          : CryptUnprotectData(&in, nullptr, entropy_size ? &extra : nullptr, nullptr, nullptr,
                               flags, &out);
  const bool sent = done ? answer(0, out.pbData, out.cbData) : answer(GetLastError(), nullptr, 0);
  if (out.pbData) {
    wipe_secret(out.pbData, out.cbData);
    LocalFree(out.pbData);
  }
  return done && sent ? 0 : 1;
}
