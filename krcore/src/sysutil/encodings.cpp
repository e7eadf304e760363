// The encodings: Base64, hexadecimal text of bytes and strings, strings as
// UTF-16 bytes, and the creation, text form and parsing of GUIDs.
#include <krcore/sysutil.h>

#include <algorithm>
#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/insert_linebreaks.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <locale>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/errors.h"
#include "sysutil/guid_text.h"
#include "logging/logsink.h"
#include "foundation/random.h"
#include "foundation/utf.h"

namespace bai = boost::archive::iterators;

namespace krCore {
namespace {

constexpr long kInvalidClassString = static_cast<int>(0x800401F3u);

// The white space the decoder skips: the "C" locale's isspace set, fixed here
// so that the process's locale cannot change what decodes.
bool is_base64_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of one hexadecimal digit, or -1.
int hex_value(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

std::wstring widen_bytes(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

// ---------------------------------------------------------------------------
// Base64
// ---------------------------------------------------------------------------

std::string Base64::Encode(const char* data, unsigned int size, bool lineBreaks) {
  using Plain = bai::base64_from_binary<bai::transform_width<const char*, 6, 8>>;
  using Broken = bai::insert_linebreaks<Plain, 72>;
  if (size == 0) return std::string();
  // The exact length is known, so the iterators write into place instead of
  // growing the string one character at a time.
  const std::size_t chars = (static_cast<std::size_t>(size) * 4 + 2) / 3;
  const std::size_t breaks = lineBreaks ? (chars - 1) / 72 : 0;
  std::string text(chars + breaks, '\0');
  if (lineBreaks)
    std::copy(Broken(data), Broken(data + size), text.begin());
  else
    std::copy(Plain(data), Plain(data + size), text.begin());
  text.append((3 - size % 3) % 3, '=');
  return text;
}

std::vector<unsigned char> Base64::Decode(std::string text) {
  // Every '=' is padding wherever it stands: it decodes as 'A' and costs one
  // byte at the end. White space is taken out first, so that the iterators
  // below see only alphabet characters. (Boost's remove_whitespace filter
  // has no end bound and would read past text ending in white space.)
  std::size_t padding = 0;
  std::size_t n = 0;
  for (char c : text) {
    if (is_base64_space(c)) continue;
    if (c == '=') {
      ++padding;
      c = 'A';
    }
    text[n++] = c;
  }
  text.resize(n);

  // transform_width stops only when its input iterator meets the end, so
  // for 4k+1 characters it would read one character past the end to fill
  // the last byte. That character's 6 bits never make a whole byte: check it
  // against the alphabet and leave it out.
  if (n % 4 == 1) {
    (void)*bai::binary_from_base64<const char*>(text.data() + n - 1);
    --n;
  }
  using Decoder = bai::transform_width<bai::binary_from_base64<const char*>, 8, 6>;
  std::vector<unsigned char> bytes(n * 6 / 8);
  std::copy(Decoder(text.data()), Decoder(text.data() + n), bytes.begin());
  bytes.resize(bytes.size() > padding ? bytes.size() - padding : 0);
  return bytes;
}

std::string ToBase64Str(const std::vector<unsigned char>& bytes, bool lineBreaks) {
  return Base64::Encode(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<unsigned int>(bytes.size()), lineBreaks);
}

std::wstring ToBase64WStr(const std::vector<unsigned char>& bytes, bool lineBreaks) {
  return widen_bytes(ToBase64Str(bytes, lineBreaks));
}

std::vector<unsigned char> FromBase64(const std::string& text) { return Base64::Decode(text); }

std::vector<unsigned char> FromBase64(const std::wstring& text) {
  // Character by character; anything above 0xFF becomes a byte outside the
  // alphabet (0xFF) rather than wrapping onto a valid character.
  std::string narrow(text.size(), '\0');
  std::transform(text.begin(), text.end(), narrow.begin(), [](wchar_t c) {
    return static_cast<char>(static_cast<unsigned long>(c) > 0xFF ? 0xFF : c);
  });
  return Base64::Decode(std::move(narrow));
}

// ---------------------------------------------------------------------------
// Hexadecimal text and strings as bytes
// ---------------------------------------------------------------------------

std::wstring BytesToHex(const unsigned char* data, unsigned int size, bool upperCase, bool spaced) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  if (size == 0) return text;
  text.reserve(spaced ? size * 3 - 1 : size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    if (spaced && i != 0) text.push_back(L' ');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0xF]);
  }
  if (upperCase) {
    const std::locale global;
    std::use_facet<std::ctype<wchar_t>>(global).toupper(text.data(), text.data() + text.size());
  }
  return text;
}

void BytesFromHex(const std::wstring& text, std::vector<unsigned char>& bytes) {
  const std::size_t pairs = text.size() / 2;
  for (std::size_t i = 0; i < pairs; ++i) {
    if (hex_value(text[2 * i]) < 0 || hex_value(text[2 * i + 1]) < 0) {
      throw krException(detail::kErrorInvalidData,
                        L"BytesFromHex - not a hexadecimal digit pair at offset [" +
                            std::to_wstring(2 * i) + L"] of [" + text + L"]",
                        4);
    }
  }
  bytes.reserve(bytes.size() + pairs);
  for (std::size_t i = 0; i < pairs; ++i)
    bytes.push_back(
        static_cast<unsigned char>(hex_value(text[2 * i]) * 16 + hex_value(text[2 * i + 1])));
}

unsigned int StringToBytes(const wchar_t* text, unsigned int count,
                           std::vector<unsigned char>& bytes) {
  bytes.clear();
  bytes.reserve(2 * static_cast<std::size_t>(count));
  if (!text) return 0;
  // wchar_t is 32 bits wide here; the byte form is UTF-16 as on the platform
  // whose byte views these are.
  for (char16_t unit : detail::utf16_from_wide(text)) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  return static_cast<unsigned int>(bytes.size());
}

std::wstring StringFromBytes(const std::vector<unsigned char>& bytes) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    units.push_back(static_cast<char16_t>(bytes[i + 1] << 8 | bytes[i]));
  return detail::wide_from_utf16(units);
}

std::wstring StringToHex(const wchar_t* text, bool upperCase, bool spaced) {
  std::vector<unsigned char> bytes;
  StringToBytes(text, text ? static_cast<unsigned int>(std::wcslen(text)) : 0, bytes);
  return BytesToHex(bytes.data(), static_cast<unsigned int>(bytes.size()), upperCase, spaced);
}

std::wstring StringToHex(const std::wstring& text, bool upperCase, bool spaced) {
  return StringToHex(text.c_str(), upperCase, spaced);
}

std::wstring StringToHex(const std::string& text, bool upperCase, bool spaced) {
  return BytesToHex(reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<unsigned int>(text.size()), upperCase, spaced);
}

std::wstring StringToHex(const char* text, bool upperCase, bool spaced) {
  return StringToHex(std::string(text ? text : ""), upperCase, spaced);
}

std::wstring StringFromHex(const std::wstring& text) {
  std::vector<unsigned char> bytes;
  BytesFromHex(text, bytes);
  return StringFromBytes(bytes);
}

std::string NarrowStringFromHex(const std::wstring& text) {
  std::vector<unsigned char> bytes;
  BytesFromHex(text, bytes);
  return std::string(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------------------
// GUIDs
// ---------------------------------------------------------------------------

void createguid(GUID& guid) {
  if (const unsigned long err = detail::random_guid(guid))
    throw krException(err, "createguid(GUID&)::CoCreateGuid failed", 4);
}

GUID CreateGUID() {
  GUID guid;
  createguid(guid);
  return guid;
}

std::wstring createguid() {
  GUID guid;
  detail::create_text_guid(guid);
  return detail::guid_text(guid);
}

namespace detail {

unsigned long random_guids(GUID* guids, std::size_t count) {
  if (const unsigned long err = random_bytes(guids, count * sizeof(GUID))) return err;
  // Version 4 (random) in the top nibble of Data3, RFC 4122 variant (10xx)
  // in the top bits of Data4[0].
  for (std::size_t i = 0; i < count; ++i) {
    guids[i].Data3 = static_cast<std::uint16_t>((guids[i].Data3 & 0x0FFF) | 0x4000);
    guids[i].Data4[0] = static_cast<unsigned char>((guids[i].Data4[0] & 0x3F) | 0x80);
  }
  return kErrorSuccess;
}

unsigned long random_guid(GUID& guid) {
  GUID fresh;
  if (const unsigned long err = random_guids(&fresh, 1)) return err;
  guid = fresh;
  return kErrorSuccess;
}

void create_text_guid(GUID& guid) {
  if (const unsigned long err = random_guid(guid))
    throw krException(err, "createguid::CoCreateGuid failed", 4);
}

namespace {

// The GUID's 16 bytes in the order the text spells them: Data1, Data2 and
// Data3 most significant byte first, then Data4 as it is.
struct text_order {
  unsigned char bytes[16];
};

text_order text_order_of(const GUID& guid) {
  text_order out;
  const auto put = [&out](int at, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i)
      out.bytes[at + i] = static_cast<unsigned char>(value >> (8 * (count - 1 - i)));
  };
  put(0, guid.Data1, 4);
  put(4, guid.Data2, 2);
  put(6, guid.Data3, 2);
  std::memcpy(out.bytes + 8, guid.Data4, 8);
  return out;
}

// Where each group of four digits starts in the 8-4-4-4-12 text.
constexpr int kDigitGroups[8] = {0, 4, 9, 14, 19, 24, 28, 32};

#if defined(__SSE2__)
// A vector of 16 nibbles (0-15) as the code points of their lower-case
// hexadecimal digits.
__m128i hex_digits_of(__m128i nibbles) {
  const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)),
                                        _mm_set1_epi8('a' - '0' - 10));
  return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
}

// Stores the 16 digit bytes of `digits` as groups `first` to `first + 3`,
// each digit widened to a 32-bit character.
inline void put_wide_groups(wchar_t* text, const int* first, __m128i digits) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_unpacklo_epi8(digits, zero);
  const __m128i high = _mm_unpackhi_epi8(digits, zero);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(text + first[0]), _mm_unpacklo_epi16(low, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(text + first[1]), _mm_unpackhi_epi16(low, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(text + first[2]), _mm_unpacklo_epi16(high, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(text + first[3]), _mm_unpackhi_epi16(high, zero));
}
#endif

}  // namespace

void put_guid_digits(const GUID& guid, wchar_t* text) {
  // Schedulers make an ID per command, so this is on their hot path: with
  // 32-bit characters and SSE2 (every x86-64 processor), all 32 digits are
  // made side by side and stored four characters at a time.
#if defined(__SSE2__)
  if constexpr (sizeof(wchar_t) == 4) {
    // x86 is little-endian: the first three fields are byte-swapped into
    // the order the text spells them, and go into the vector by register,
    // not through memory.
    const auto swap16 = [](std::uint16_t v) { return static_cast<std::uint64_t>(v >> 8 | (v & 0xFF) << 8); };
    const std::uint32_t d1 = guid.Data1;
    const std::uint64_t head = (d1 >> 24 | (d1 >> 8 & 0xFF00) | (d1 & 0xFF00) << 8 | d1 << 24) |
                               swap16(guid.Data2) << 32 | swap16(guid.Data3) << 48;
    std::uint64_t tail;
    std::memcpy(&tail, guid.Data4, sizeof tail);
    const __m128i bytes =
        _mm_set_epi64x(static_cast<long long>(tail), static_cast<long long>(head));
    const __m128i mask = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
    const __m128i low = _mm_and_si128(bytes, mask);
    put_wide_groups(text, kDigitGroups, hex_digits_of(_mm_unpacklo_epi8(high, low)));
    put_wide_groups(text, kDigitGroups + 4, hex_digits_of(_mm_unpackhi_epi8(high, low)));
    return;
  }
#endif
  const text_order order = text_order_of(guid);
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (int digit = 0; digit < 32; ++digit) {
    const unsigned byte = order.bytes[digit / 2];
    text[kDigitGroups[digit / 4] + digit % 4] = kDigits[digit % 2 == 0 ? byte >> 4 : byte & 0xF];
  }
}

std::wstring guid_text(const GUID& guid) {
  std::wstring text = guid_text_frame();
  put_guid_digits(guid, text.data());
  return text;
}

}  // namespace detail

namespace {

// Parses "{8-4-4-4-12}" with hexadecimal digits of either case, nothing else.
bool parse_braced_guid(const wchar_t* text, GUID& guid) {
  static constexpr char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  unsigned char raw[16];
  int nibble = 0;
  for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
    const wchar_t c = text[i];  // a shorter text stops at its null character
    if (kShape[i] != 'x') {
      if (c != static_cast<wchar_t>(kShape[i])) return false;
      continue;
    }
    const int v = hex_value(c);
    if (v < 0) return false;
    if (nibble % 2 == 0)
      raw[nibble / 2] = static_cast<unsigned char>(v << 4);
    else
      raw[nibble / 2] = static_cast<unsigned char>(raw[nibble / 2] | v);
    ++nibble;
  }
  if (text[sizeof kShape - 1] != L'\0') return false;
  guid.Data1 = static_cast<std::uint32_t>(raw[0]) << 24 | static_cast<std::uint32_t>(raw[1]) << 16 |
               static_cast<std::uint32_t>(raw[2]) << 8 | raw[3];
  guid.Data2 = static_cast<std::uint16_t>(raw[4] << 8 | raw[5]);
  guid.Data3 = static_cast<std::uint16_t>(raw[6] << 8 | raw[7]);
  std::copy(raw + 8, raw + 16, guid.Data4);
  return true;
}

}  // namespace

long Api_GuidFromString(const wchar_t* text, GUID& guid, bool throwOnError) {
  if (text && parse_braced_guid(text, guid)) return 0;
  const long hr = kInvalidClassString;
  const bool log = detail::log_enabled(detail::kLogVerbose);
  if (!log && !throwOnError) return hr;
  const std::wstring message =
      std::wstring(L"GuidFromString() ::CLSIDFromString failed for string [") +
      (text ? text : L"") + L"]";
  if (log) detail::log_entry(detail::kLogVerbose, message);
  if (throwOnError) throw krException(hr, message, 4);
  return hr;
}

long GuidFromString(const wchar_t* text, GUID& guid, bool throwOnError) {
  if (text && text[0] != L'{')
    return Api_GuidFromString((L"{" + std::wstring(text) + L"}").c_str(), guid, throwOnError);
  return Api_GuidFromString(text, guid, throwOnError);
}

long GuidFromString(const std::wstring& text, GUID& guid, bool throwOnError) {
  return GuidFromString(text.c_str(), guid, throwOnError);
}

GUID GuidFromString(const wchar_t* text) {
  GUID guid{};
  GuidFromString(text, guid, true);
  return guid;
}

GUID GuidFromString(const std::wstring& text) { return GuidFromString(text.c_str()); }

bool IsGuid(const wchar_t* text) {
  GUID guid;
  return GuidFromString(text, guid, false) == 0;
}

bool IsGuid(const std::wstring& text) { return IsGuid(text.c_str()); }

}  // namespace krCore
