// Protected strings and credentials: secrets (passwords above all) kept out
// of plain memory as far as possible.
//
// `AutoDataBlob` owns a block of bytes shaped like DATA_BLOB and wipes it
// when it lets it go. `securestring` holds a wide text in machine-protected
// form and decrypts it only on demand; its protected form can travel as
// Base64 text (a configuration file, for instance). `credential` bundles a
// domain, a user name and a password, each a `securestring`.
//
// Protection is bound to the machine, not to an account: every account on
// the machine can unprotect what any account protected, and a protected form
// copied to another machine cannot be read there. On Linux the machine's
// secret is a 32-byte key in /var/lib/krcore/machine.key (readable by every
// account, writable by its owner only), made from kernel random bytes by
// whichever process needs it first. The environment variable
// KRCORE_MACHINE_KEY_FILE, read once when the key is first needed, names
// another file.
//
// The protected form (all integers little-endian):
//   offset  size  field
//        0     4  magic "KRDP"
//        4     1  format version, 1
//        5     1  algorithm, 1: AES-256-GCM, the machine key separated into
//                 an encryption key and a key identifier by HMAC-SHA-256
//        6     2  flags, 0x0004: bound to the local machine
//        8    16  key identifier of the machine key that protected it
//       24    12  nonce, fresh random bytes for every protected form
//       36     n  ciphertext of the n protected bytes
//     36+n    16  GCM tag over the first 36 bytes (and the optional entropy)
//                 and the ciphertext
// A text is protected as its UTF-16LE code units, without a terminator.
// Unprotecting fails with 13 for a form that is too short or not of this
// format, 0x8009000B for a form made with another machine's key, 0x80090005
// for one whose tag does not match (damaged), and 5 (or the code of the
// system's error) when the key file cannot be read or made.
#pragma once

#include <krcore/foundation.h>

#include <cstddef>
#include <memory>
#include <string>

namespace krCore {

// A counted block of bytes with the two fields of DATA_BLOB, in its order,
// so that the structure can stand where a DATA_BLOB is expected. The bytes
// are zero-filled local memory; they are overwritten with zeros before they
// are freed. Invariant: `pbData` null means `cbData` 0.
// Not copyable (one owner of the block); not thread-safe.
class KRCORE_API AutoDataBlob {
 public:
  DWORD cbData;
  BYTE* pbData;

  AutoDataBlob();
  // Clear().
  ~AutoDataBlob();
  AutoDataBlob(const AutoDataBlob&) = delete;
  AutoDataBlob& operator=(const AutoDataBlob&) = delete;

  // Wipes the bytes with zeros, frees them and leaves the blob empty.
  void Clear();
  // Clear(), then holds a copy of the string's bytes (no terminator). Throws
  // std::bad_alloc when the block cannot be allocated.
  void Copy(const std::string& bytes);
  // Clear(), then holds the text's UTF-16LE code units: 2 bytes per unit,
  // no terminator (a character above U+FFFF takes two units). Throws
  // std::bad_alloc when the block cannot be allocated.
  void Copy(const std::wstring& text);
  // The `cbData` bytes as a narrow string.
  std::string AsString() const;
  // The bytes read as `cbData / 2` UTF-16LE units (an odd last byte is
  // dropped); an unpaired surrogate becomes U+FFFD.
  std::wstring AsWString() const;
};

// A wide text held in machine-protected form.
//
// States: empty (no protected form, no plaintext); at rest (protected form
// only); read (protected form and the plaintext, from a read until the next
// wipe). Reading (`str`, `c_str`) decrypts again on every call and leaves
// the plaintext in the object until clearplaintext(), encrypt(), assignment
// or destruction wipes it ('?' over every character, then length 0).
// Copies carry the protected form and the plaintext as it stands.
// Not thread-safe: every accessor writes into the object (it decrypts into
// the plaintext), so one object must not be read from two threads at once.
// Failures of protection throw krException with the failure's code (see the
// file comment) after logging the same text at log_normal.
class KRCORE_API securestring {
 public:
  // Empty.
  securestring();
  // Protects `text` at once; an empty text gives an empty object. Null
  // throws krException 87 "securestring::securestring string to encrypt
  // cannot be NULL".
  securestring(const wchar_t* text);
  securestring(const securestring& other);
  // Self-assignment does nothing; otherwise wipes this object, then copies.
  securestring& operator=(const securestring& other);
  ~securestring();

  // A new object with the same protected form and the current plaintext.
  securestring copy() const;
  // Protects the current plaintext (nothing when it is empty), replacing the
  // protected form, and wipes the plaintext, also on failure. Failure throws
  // krException with the code and "securestring::encrypt()
  // CryptProtectData() failed. Error Code: <decimal code>\n"; the protected
  // form is then unchanged.
  void encrypt();
  // Unprotects the protected form into the plaintext; an empty object wipes
  // the plaintext instead. Failure throws krException with the code and
  // "securestring::decrypt() CryptUnprotectData() failed. Error Code:
  // <decimal code>\n"; the plaintext is then left as it was.
  void decrypt() const;
  // Wipes the plaintext.
  void clearplaintext() const;
  // decrypt(), then the plaintext; valid until the plaintext is wiped.
  const std::wstring& str() const;
  // decrypt(), then the plaintext's NUL-terminated characters.
  const wchar_t* c_str() const;
  // The size in bytes of the protected form (not the number of
  // characters); 0 for an empty object.
  DWORD length() const;
  // RFC 4648 Base64 (with padding, no line breaks) of the protected form;
  // empty for an empty object. Does not protect anything anew.
  std::string to_encrypted_base64() const;
  // An object whose protected form is the bytes `text` spells (every '='
  // counts as padding wherever it stands; white space is skipped) and whose
  // plaintext is empty. The bytes are not checked here: a wrong form fails
  // on the first read. A character outside the alphabet throws the Base64
  // decoder's exception, "attempt to decode a value not in base64 char set".
  static securestring from_encrypted_base64(std::string text);
  // Wipes `text` as the plaintext is wiped: '?' over every character, then
  // length 0; the buffer stays allocated with the '?' in it.
  static void SecureClear(std::wstring& text);

 private:
  void get_copy(const securestring& other);
  void clear();

  AutoDataBlob _blob;
  mutable std::wstring _plaintext;
};

// A domain, a user name and a password, each held as a securestring.
//
// A credential is "used" when all three parts are present; a default one has
// none. The const operations decrypt into, wipe or replace the owned parts.
// Not thread-safe, as securestring. Failures of protection throw as in
// securestring.
class KRCORE_API credential {
 public:
  // No parts; used() is false.
  credential();
  // Splits `username` at its first backslash unless that is its first
  // character (later ones stay in the user name): "CORP\alice" gives domain "CORP" and
  // user "alice", "CORP\" gives "CORP" and "", "\alice" and "alice@corp"
  // stay whole with an empty domain. Either argument null throws
  // krException 87 "credential::credential() - invalid username or
  // password.".
  credential(const wchar_t* username, const wchar_t* password);
  // set(domain, username, password).
  credential(const wchar_t* domain, const wchar_t* username, const wchar_t* password);
  // No parts, then copy(other) (which wipes the other's plaintexts).
  credential(const credential& other);
  // Takes the other's parts; the other is left with none.
  credential(credential&& other) noexcept;
  // Exchanges the parts with `other`, whose destruction then wipes and
  // destroys the previous ones.
  credential& operator=(credential other);
  // Wipes the plaintexts, then destroys password, user name and domain.
  ~credential();

  // When `other` is used: protects its decrypted parts anew into this
  // object, wipes the other's plaintexts and destroys this object's previous
  // parts. Otherwise nothing changes.
  void copy(const credential& other) const;
  // When used: wipes the plaintexts of the three parts.
  void clearplaintext() const;
  // True when all three parts are present.
  bool used() const;
  // Not used: an empty text. Used: decrypts that part and returns its
  // plaintext, valid until the plaintext is wiped.
  const wchar_t* c_str_domain() const;
  const wchar_t* c_str_username() const;
  const wchar_t* c_str_password() const;
  // Used: the password's to_encrypted_base64(); not used: empty.
  std::string password_encrypted_base64() const;

 protected:
  // Protects each text into a new part, in the order domain, user name,
  // password, replacing (and destroying) the part held before; a failure on
  // a later part leaves the earlier ones replaced. Any null throws
  // krException 87 "credential::set() - invalid domain, username, or
  // password.".
  void set(const wchar_t* domain, const wchar_t* username, const wchar_t* password);

 private:
  mutable std::unique_ptr<securestring> _domain;
  mutable std::unique_ptr<securestring> _username;
  mutable std::unique_ptr<securestring> _password;
};

}  // namespace krCore
