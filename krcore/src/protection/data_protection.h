// Internal: the machine-bound data protection that securestring builds on,
// with the calling shape of the platform's protect/unprotect pair, and the
// local memory its output lives in.
//
// The format of a protected blob is described in <krcore/protection.h>. The
// crypto (AES-256-GCM, HMAC-SHA-256 key separation) is portable; where the
// machine key comes from is the platform's half (machine_key.h).
#pragma once

#include <krcore/wintypes.h>

#include <cstddef>
#include <cstdint>

#include "foundation/internal.h"
#include "foundation/local_memory.h"

namespace krCore::detail {

// Flags of the protect/unprotect pair.
constexpr DWORD kCryptProtectUiForbidden = 0x1;
constexpr DWORD kCryptProtectLocalMachine = 0x4;

// Overwrites `size` bytes at `data` with zeros in a way the compiler may not
// drop as a dead store (secrets are wiped right before their memory is
// freed). Thread-safe for distinct memory; never fails.
KRCORE_INTERNAL void wipe_secret(void* data, std::size_t size);


// Protects the `in` bytes with the machine key into a new local-memory
// block in `out` (the caller wipes and frees it). `description` and
// `prompt` are accepted and ignored (there is no user interface and the
// description is not kept); `entropy`, when given, must be given again to
// unprotect. `flags` must include kCryptProtectLocalMachine: protection is
// never bound to an account here. Returns TRUE, or FALSE with the last error
// set (87 bad arguments or flags, 8 no memory, a code of
// current_key_material when the key cannot be had, 0x80090020 a cipher
// failure).
// Thread-safe.
KRCORE_INTERNAL BOOL CryptProtectData(const DATA_BLOB* in, const wchar_t* description,
                                      const DATA_BLOB* entropy, void* reserved, void* prompt,
                                      DWORD flags, DATA_BLOB* out);

// Unprotects a blob made by CryptProtectData into a new local-memory block
// in `out` (the caller wipes and frees it). `description`, when given, is
// set to null: no description is kept. Returns TRUE, or FALSE with the last
// error set: 13 too short or not of this format, 0x8009000B made with
// another machine key, 0x80090005 a tag that does not match, 87 bad
// arguments, 8 no memory, 5 or the system's code for the key file.
// Thread-safe.
KRCORE_INTERNAL BOOL CryptUnprotectData(const DATA_BLOB* in, wchar_t** description,
                                        const DATA_BLOB* entropy, void* reserved, void* prompt,
                                        DWORD flags, DATA_BLOB* out);

// The layout of a protected blob. On Windows the protected form is the
// system's own; a blob that starts with this magic was made on Linux and is
// refused there with 13.
constexpr BYTE kBlobMagic[4] = {'K', 'R', 'D', 'P'};
constexpr std::size_t kBlobKeyIdSize = 16;
constexpr std::size_t kBlobNonceSize = 12;
constexpr std::size_t kBlobTagSize = 16;
constexpr std::size_t kBlobHeaderSize = 8 + kBlobKeyIdSize + kBlobNonceSize;
constexpr std::size_t kBlobMinSize = kBlobHeaderSize + kBlobTagSize;

// The parts of a blob that passed the format checks; pointers into it.
struct blob_parts {
  const BYTE* header;  // kBlobHeaderSize bytes, authenticated with the rest
  const BYTE* key_id;
  const BYTE* nonce;
  const BYTE* ciphertext;
  std::size_t ciphertext_size;
  const BYTE* tag;
};

// Checks the format of `size` bytes at `data` (length, magic, version,
// algorithm, flags) and splits them. Returns 0 or 13. Never reads outside
// the bytes; touches no key.
KRCORE_INTERNAL unsigned long parse_protected_blob(const BYTE* data, std::size_t size,
                                                   blob_parts& parts);

// What the protection uses of the machine key, derived from it once.
struct key_material {
  unsigned char encryption_key[32];
  unsigned char key_id[kBlobKeyIdSize];
};

// Derives the encryption key and key identifier from the 32-byte machine
// key. Returns 0, or 0x80090020 when the MAC fails.
KRCORE_INTERNAL unsigned long derive_key_material(const unsigned char (&machine_key)[32],
                                                  key_material& out);

}  // namespace krCore::detail
