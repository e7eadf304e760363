// The machine-bound protect/unprotect pair on OpenSSL: AES-256-GCM with a
// fresh random nonce per blob, under an encryption key that HMAC-SHA-256
// separates from the machine key. The header of a blob (magic, version,
// algorithm, flags, key identifier, nonce) is additional authenticated
// data, so a change anywhere in a blob fails its tag.
#include "protection/data_protection.h"

#include <krcore/foundation.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/errors.h"
#include "foundation/random.h"
#include "protection/linux/key_helper.h"
#include "protection/machine_key.h"

namespace krCore::detail {
namespace {

constexpr unsigned long kNteFail = 0x80090020;  // an internal error of the cipher

constexpr const BYTE (&kMagic)[4] = kBlobMagic;
constexpr BYTE kVersion = 1;
constexpr BYTE kAlgorithmAesGcmHmacSha256 = 1;
constexpr std::uint16_t kBlobFlagLocalMachine = 0x0004;

// Labels that separate the two uses of the machine key.
constexpr char kEncryptionLabel[] = "krcore data protection v1: encryption key";
constexpr char kKeyIdLabel[] = "krcore data protection v1: key identifier";

// The cipher, fetched from the provider once instead of at every use.
const EVP_CIPHER* aes_256_gcm() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return cipher;
}

struct ctx_free {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_ctx = std::unique_ptr<EVP_CIPHER_CTX, ctx_free>;

// Key material on the stack, wiped when the call ends.
struct scoped_key {
  key_material k;
  ~scoped_key() { OPENSSL_cleanse(&k, sizeof k); }
};

BOOL fail(unsigned long code) {
  SetLastError(static_cast<DWORD>(code));
  return 0;
}

// The other accounts' way to root's key: the helper does the whole call.
BOOL through_helper(char op, const DATA_BLOB* in, const DATA_BLOB* entropy, DATA_BLOB* out) {
  const unsigned long err = run_key_helper(op, in, entropy, machine_key_file(), out);
  return err ? fail(err) : 1;
}

bool valid_blob_arg(const DATA_BLOB* b) { return b && (b->cbData == 0 || b->pbData); }

// Feeds the header and the optional entropy as additional authenticated data.
bool add_aad(EVP_CIPHER_CTX* ctx, const BYTE* header, const DATA_BLOB* entropy, bool encrypting) {
  const auto update = encrypting ? EVP_EncryptUpdate : EVP_DecryptUpdate;
  int len = 0;
  if (update(ctx, nullptr, &len, header, static_cast<int>(kBlobHeaderSize)) != 1) return false;
  if (entropy && entropy->cbData &&
      update(ctx, nullptr, &len, entropy->pbData, static_cast<int>(entropy->cbData)) != 1)
    return false;
  return true;
}

}  // namespace

void wipe_secret(void* data, std::size_t size) { OPENSSL_cleanse(data, size); }

unsigned long derive_key_material(const unsigned char (&machine_key)[32], key_material& out) {
  unsigned char mac[32];
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), machine_key, sizeof machine_key,
            reinterpret_cast<const unsigned char*>(kEncryptionLabel), sizeof kEncryptionLabel - 1,
            out.encryption_key, &len) ||
      !HMAC(EVP_sha256(), machine_key, sizeof machine_key,
            reinterpret_cast<const unsigned char*>(kKeyIdLabel), sizeof kKeyIdLabel - 1, mac,
            &len)) {
    OPENSSL_cleanse(&out, sizeof out);
    return kNteFail;
  }
  std::memcpy(out.key_id, mac, sizeof out.key_id);
  OPENSSL_cleanse(mac, sizeof mac);
  return 0;
}

unsigned long parse_protected_blob(const BYTE* data, std::size_t size, blob_parts& parts) {
  if (!data || size < kBlobMinSize || std::memcmp(data, kMagic, sizeof kMagic) != 0 ||
      data[4] != kVersion || data[5] != kAlgorithmAesGcmHmacSha256)
    return kErrorInvalidData;
  const std::uint16_t flags = static_cast<std::uint16_t>(data[6] | (data[7] << 8));
  if (flags != kBlobFlagLocalMachine) return kErrorInvalidData;
  parts.header = data;
  parts.key_id = data + 8;
  parts.nonce = parts.key_id + kBlobKeyIdSize;
  parts.ciphertext = data + kBlobHeaderSize;
  parts.ciphertext_size = size - kBlobMinSize;
  parts.tag = data + size - kBlobTagSize;
  return 0;
}

BOOL CryptProtectData(const DATA_BLOB* in, const wchar_t*, const DATA_BLOB* entropy, void*, void*,
                      DWORD flags, DATA_BLOB* out) {
  if (!valid_blob_arg(in) || !out || (entropy && !valid_blob_arg(entropy)) ||
      !(flags & kCryptProtectLocalMachine) ||
      (flags & ~(kCryptProtectLocalMachine | kCryptProtectUiForbidden)))
    return fail(kErrorInvalidParameter);
  if (in->cbData > 0x7FFFFFFFu - kBlobMinSize) return fail(kErrorInvalidParameter);

  scoped_key key;
  if (const unsigned long err = current_key_material(key.k, true))
    return err == kKeyReadableByRootAlone ? through_helper(kHelperProtect, in, entropy, out)
                                          : fail(err);

  const std::size_t size = kBlobMinSize + in->cbData;
  BYTE* blob = static_cast<BYTE*>(LocalAlloc(0, size));
  if (!blob) return fail(kErrorNotEnoughMemory);
  std::memcpy(blob, kMagic, sizeof kMagic);
  blob[4] = kVersion;
  blob[5] = kAlgorithmAesGcmHmacSha256;
  blob[6] = kBlobFlagLocalMachine & 0xFF;
  blob[7] = kBlobFlagLocalMachine >> 8;
  std::memcpy(blob + 8, key.k.key_id, kBlobKeyIdSize);
  BYTE* nonce = blob + 8 + kBlobKeyIdSize;
  if (const unsigned long err = random_bytes(nonce, kBlobNonceSize)) {
    LocalFree(blob);
    return fail(err);
  }

  cipher_ctx ctx(EVP_CIPHER_CTX_new());
  BYTE* ciphertext = blob + kBlobHeaderSize;
  int len = 0;
  int tail = 0;
  const bool ok =
      ctx && aes_256_gcm() &&
      EVP_EncryptInit_ex2(ctx.get(), aes_256_gcm(), key.k.encryption_key, nonce, nullptr) == 1 &&
      add_aad(ctx.get(), blob, entropy, true) &&
      (in->cbData == 0 || EVP_EncryptUpdate(ctx.get(), ciphertext, &len, in->pbData,
                                            static_cast<int>(in->cbData)) == 1) &&
      EVP_EncryptFinal_ex(ctx.get(), ciphertext + len, &tail) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kBlobTagSize),
                          blob + size - kBlobTagSize) == 1;
  if (!ok) {
    OPENSSL_cleanse(blob, size);
    LocalFree(blob);
    return fail(kNteFail);
  }
  out->cbData = static_cast<DWORD>(size);
  out->pbData = blob;
  return 1;
}

BOOL CryptUnprotectData(const DATA_BLOB* in, wchar_t** description, const DATA_BLOB* entropy,
                        void*, void*, DWORD flags, DATA_BLOB* out) {
  if (description) *description = nullptr;
  if (!valid_blob_arg(in) || !out || (entropy && !valid_blob_arg(entropy)) ||
      (flags & ~(kCryptProtectLocalMachine | kCryptProtectUiForbidden)))
    return fail(kErrorInvalidParameter);
  blob_parts parts{};
  if (const unsigned long err = parse_protected_blob(in->pbData, in->cbData, parts))
    return fail(err);

  scoped_key key;
  if (const unsigned long err = current_key_material(key.k, false))
    return err == kKeyReadableByRootAlone ? through_helper(kHelperUnprotect, in, entropy, out)
                                          : fail(err);
  if (CRYPTO_memcmp(key.k.key_id, parts.key_id, kBlobKeyIdSize) != 0) {
    // The key file may have been replaced since it was loaded: look again
    // before calling the blob foreign.
    if (const unsigned long err = current_key_material(key.k, true)) return fail(err);
    if (CRYPTO_memcmp(key.k.key_id, parts.key_id, kBlobKeyIdSize) != 0)
      return fail(kNteBadKeyState);
  }

  // At least one byte, so that an empty plaintext still has a block to
  // hand out; cbData says how many bytes count.
  const std::size_t size = parts.ciphertext_size;
  BYTE* plain = static_cast<BYTE*>(LocalAlloc(0, size ? size : 1));
  if (!plain) return fail(kErrorNotEnoughMemory);

  cipher_ctx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  int tail = 0;
  const bool setup =
      ctx && aes_256_gcm() &&
      EVP_DecryptInit_ex2(ctx.get(), aes_256_gcm(), key.k.encryption_key, parts.nonce,
                          nullptr) == 1 &&
      add_aad(ctx.get(), parts.header, entropy, false) &&
      (size == 0 || EVP_DecryptUpdate(ctx.get(), plain, &len, parts.ciphertext,
                                      static_cast<int>(size)) == 1) &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kBlobTagSize),
                          const_cast<BYTE*>(parts.tag)) == 1;
  const bool authentic = setup && EVP_DecryptFinal_ex(ctx.get(), plain + len, &tail) == 1;
  if (!authentic) {
    // GCM decrypts before it checks: what came out of a forged blob is
    // wiped before the block goes.
    OPENSSL_cleanse(plain, size ? size : 1);
    LocalFree(plain);
    return fail(setup ? kNteBadData : kNteFail);
  }
  out->cbData = static_cast<DWORD>(size);
  out->pbData = plain;
  return 1;
}

}  // namespace krCore::detail
