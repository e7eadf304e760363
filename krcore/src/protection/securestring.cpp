// AutoDataBlob and securestring: a wide text held as a machine-protected
// blob, decrypted into the object only while it is being read.
//
// The plaintext is moved between its wide form and the UTF-16LE bytes of the
// protection without interim strings, because every such copy would be
// freed without being wiped: the bytes are encoded straight into the blob
// that is protected, and decoded straight into the object's own string.
#include <krcore/logging.h>
#include <krcore/protection.h>
#include <krcore/sysutil.h>

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <stdexcept>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "protection/data_protection.h"

namespace krCore {
namespace {

// The stack-skip count of the library's own exceptions.
constexpr unsigned int kSkip = 4;

static_assert(sizeof(AutoDataBlob) == sizeof(DATA_BLOB), "AutoDataBlob must be shaped as DATA_BLOB");
static_assert(offsetof(AutoDataBlob, cbData) == offsetof(DATA_BLOB, cbData));
static_assert(offsetof(AutoDataBlob, pbData) == offsetof(DATA_BLOB, pbData));

// The number of UTF-16 units of `text` (encode_utf16le's rule: a value that
// is not a scalar value becomes one unit, U+FFFD).
std::size_t utf16_units(const std::wstring& text) {
  std::size_t n = text.size();
  for (wchar_t c : text) {
    const auto u = static_cast<char32_t>(c);
    n += u >= 0x10000 && u <= 0x10FFFF;
  }
  return n;
}

// Replaces `out` (already wiped) with the `units` UTF-16LE units at `bytes`,
// pairing surrogates (one character where wchar_t has 32 bits, the pair
// itself where wide text is UTF-16); an unpaired one becomes U+FFFD.
void decode_utf16le_into(const BYTE* bytes, std::size_t units, std::wstring& out) {
  out.clear();
  out.reserve(units);
  const auto unit = [bytes](std::size_t i) -> char32_t {
    return static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      if constexpr (sizeof(wchar_t) == 2) {
        out.push_back(static_cast<wchar_t>(u));
        out.push_back(static_cast<wchar_t>(unit(i + 1)));
      } else {
        out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00)));
      }
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
    } else {
      out.push_back(static_cast<wchar_t>(u));
    }
  }
}

DATA_BLOB as_data_blob(const AutoDataBlob& blob) { return DATA_BLOB{blob.cbData, blob.pbData}; }

// Logs the failure of a protection call at log_normal and throws it; the
// text ends with a line break in both places.
[[noreturn]] void report(const char* text, DWORD code) {
  if (singleton<logger>::instance()->is_enabled(logger::log_normal)) {
    basic_log_ostream<wchar_t> os(logger::log_normal);
    os << text << code << std::endl;
  }
  std::ostringstream message;
  message << text << code << std::endl;
  throw krException(static_cast<unsigned long>(code), message.str().c_str(), kSkip);
}

}  // namespace

// ---------------------------------------------------------------------------
// AutoDataBlob
// ---------------------------------------------------------------------------

AutoDataBlob::AutoDataBlob() : cbData(0), pbData(nullptr) {}

AutoDataBlob::~AutoDataBlob() { Clear(); }

void AutoDataBlob::Clear() {
  if (pbData) {
    detail::wipe_secret(pbData, cbData);
    detail::LocalFree(pbData);
  }
  pbData = nullptr;
  cbData = 0;
}

void AutoDataBlob::Copy(const std::string& bytes) {
  Clear();
  if (bytes.empty()) return;
  auto* block = static_cast<BYTE*>(detail::LocalAlloc(0x40, bytes.size()));
  if (!block) throw std::bad_alloc();
  bytes.copy(reinterpret_cast<char*>(block), bytes.size());
  pbData = block;
  cbData = static_cast<DWORD>(bytes.size());
}

void AutoDataBlob::Copy(const std::wstring& text) {
  Clear();
  const std::size_t size = 2 * utf16_units(text);
  if (size == 0) return;
  auto* block = static_cast<BYTE*>(detail::LocalAlloc(0x40, size));
  if (!block) throw std::bad_alloc();
  detail::encode_utf16le(text, reinterpret_cast<char*>(block));
  pbData = block;
  cbData = static_cast<DWORD>(size);
}

std::string AutoDataBlob::AsString() const {
  return pbData ? std::string(reinterpret_cast<const char*>(pbData), cbData) : std::string();
}

std::wstring AutoDataBlob::AsWString() const {
  std::wstring text;
  if (pbData) decode_utf16le_into(pbData, cbData / 2, text);
  return text;
}

// ---------------------------------------------------------------------------
// securestring
// ---------------------------------------------------------------------------

securestring::securestring() = default;

securestring::securestring(const wchar_t* text) {
  if (!text)
    throw krException(static_cast<unsigned long>(detail::kErrorInvalidParameter),
                      "securestring::securestring string to encrypt cannot be NULL", kSkip);
  _plaintext.assign(text);
  if (!_plaintext.empty()) encrypt();
}

securestring::securestring(const securestring& other) { get_copy(other); }

securestring& securestring::operator=(const securestring& other) {
  if (this == &other) return *this;
  clear();
  get_copy(other);
  return *this;
}

securestring::~securestring() { clear(); }

void securestring::get_copy(const securestring& other) {
  SecureClear(_plaintext);
  _plaintext.assign(other._plaintext);
  if (other._blob.pbData) {
    _blob.Clear();
    auto* block = static_cast<BYTE*>(detail::LocalAlloc(0x40, other._blob.cbData));
    if (!block) {
      // A constructor that throws runs no destructor: wipe the copied text now.
      clearplaintext();
      throw std::bad_alloc();
    }
    std::copy(other._blob.pbData, other._blob.pbData + other._blob.cbData, block);
    _blob.pbData = block;
    _blob.cbData = other._blob.cbData;
  } else {
    _blob.Clear();
  }
}

void securestring::clear() {
  clearplaintext();
  _blob.Clear();
}

securestring securestring::copy() const { return securestring(*this); }

void securestring::encrypt() {
  if (_plaintext.empty()) return;
  AutoDataBlob input;
  try {
    input.Copy(_plaintext);
  } catch (...) {
    clearplaintext();
    throw;
  }
  const DATA_BLOB in = as_data_blob(input);
  DATA_BLOB out{0, nullptr};
  if (!detail::CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr,
                                detail::kCryptProtectLocalMachine, &out)) {
    const DWORD code = GetLastError();
    clearplaintext();
    report("securestring::encrypt() CryptProtectData() failed. Error Code: ", code);
  }
  _blob.Clear();
  _blob.cbData = out.cbData;
  _blob.pbData = out.pbData;
  clearplaintext();
}

void securestring::decrypt() const {
  if (_blob.cbData == 0 || !_blob.pbData) {
    clearplaintext();
    return;
  }
  const DATA_BLOB in = as_data_blob(_blob);
  DATA_BLOB out{0, nullptr};
  if (!detail::CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out))
    report("securestring::decrypt() CryptUnprotectData() failed. Error Code: ", GetLastError());
  AutoDataBlob plain;
  plain.cbData = out.cbData;
  plain.pbData = out.pbData;
  // Wiped first, so that a buffer the decoding has to replace goes away
  // holding '?' only.
  clearplaintext();
  decode_utf16le_into(plain.pbData, plain.cbData / 2, _plaintext);
}

void securestring::clearplaintext() const { SecureClear(_plaintext); }

const std::wstring& securestring::str() const {
  decrypt();
  return _plaintext;
}

const wchar_t* securestring::c_str() const {
  decrypt();
  return _plaintext.c_str();
}

DWORD securestring::length() const { return _blob.cbData; }

std::string securestring::to_encrypted_base64() const {
  if (!_blob.pbData) return std::string();
  return Base64::Encode(reinterpret_cast<const char*>(_blob.pbData), _blob.cbData, false);
}

securestring securestring::from_encrypted_base64(std::string text) {
  const std::vector<unsigned char> bytes = Base64::Decode(std::move(text));
  securestring result;
  result._blob.Copy(std::string(bytes.begin(), bytes.end()));
  return result;
}

void securestring::SecureClear(std::wstring& text) {
  if (text.empty()) return;
  for (wchar_t& c : text) c = L'?';
  // The overwritten characters are not read again before the buffer is
  // reused or freed; the barrier keeps the compiler from dropping the
  // stores as dead.
  asm volatile("" : : "r"(text.data()) : "memory");
  text.clear();
}

}  // namespace krCore
