// Conversions between wide text and UTF-8 / UTF-16, and the reversible
// mapping of file names. Hand-written because the standard's codecvt facets
// are deprecated, depend on the process locale, and do not give the defined
// replacement behaviour the library documents for malformed input.
#include "foundation/utf.h"

#include <algorithm>
#include <bit>
#include <type_traits>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace krCore::detail {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_scalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// Wide text is UTF-32 where wchar_t has 32 bits (Linux) and UTF-16 where it
// has 16 (Windows), so a character above U+FFFF is one wchar_t or a
// surrogate pair.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

// The character at text[i], with `i` moved past it. A surrogate that is not
// half of a pair is returned as it is (not a scalar value).
char32_t next_character(std::wstring_view text, std::size_t& i) {
  char32_t c = static_cast<char32_t>(text[i++]);
  if constexpr (kWideIsUtf16) {
    if (c >= 0xD800 && c <= 0xDBFF && i < text.size()) {
      const char32_t low = static_cast<char32_t>(text[i]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++i;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      }
    }
  }
  return c;
}

// Appends the scalar value `c` to wide text.
void append_wide(std::wstring& out, char32_t c) {
  if (kWideIsUtf16 && c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    return;
  }
  out.push_back(static_cast<wchar_t>(c));
}

// The escape characters of file-name bytes that are not UTF-8 (see utf.h):
// U+10FE00 plus the byte, for the bytes 0x80..0xFF.
constexpr char32_t kEscapeBase = 0x10FE00;
bool is_escape(char32_t c) { return c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF; }

// The UTF-8 bytes of `c` to `put`, one at a time; `bad` for a value that is
// not a scalar value.
template <class Put>
void put_utf8(char32_t c, char bad, Put put) {
  if (c < 0x80) {
    put(static_cast<char>(c));
  } else if (!is_scalar(c)) {
    put(bad);
  } else if (c < 0x800) {
    put(static_cast<char>(0xC0 | (c >> 6)));
    put(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    put(static_cast<char>(0xE0 | (c >> 12)));
    put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    put(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    put(static_cast<char>(0xF0 | (c >> 18)));
    put(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    put(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void append_utf8(std::string& out, char32_t c, char bad) {
  put_utf8(c, bad, [&out](char b) { out.push_back(b); });
}

// Decodes the sequence at `p` (before `end`). Returns its length with the
// character in `c`, or minus the length of its maximal invalid subpart.
int decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& c) {
  const unsigned char b0 = *p;
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  // Length and the valid range of the second byte (Unicode table 3-7),
  // which rules out overlong forms, surrogates and values past U+10FFFF.
  int len = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  }
  if (len == 0) return -1;  // a stray continuation byte or an impossible lead byte
  int i = 1;
  for (; i < len && p + i < end; ++i) {
    const unsigned char b = p[i];
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    c = (c << 6) | (b & 0x3F);
  }
  return i == len ? len : -i;
}

// Calls put(unit) for each UTF-16 code unit of the character `c`.
template <class Put>
void put_utf16(char32_t c, Put& put) {
  if (!is_scalar(c)) c = kReplacement;
  if (c < 0x10000) {
    put(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    put(static_cast<char16_t>(0xD800 + (c >> 10)));
    put(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

// UTF-8 → wide. A sequence that is not valid UTF-8 becomes one U+FFFD per
// maximal invalid subpart, or, with `escape`, one escape character per byte
// (as does a valid sequence that encodes an escape character).
std::wstring decode_utf8_text(std::string_view text, bool escape) {
  std::wstring out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    char32_t c = 0;
    const int n = decode_utf8(p, end, c);
    if (n > 0 && !(escape && is_escape(c))) {
      append_wide(out, c);
      p += n;
    } else if (escape) {
      // One byte at a time: the rest of an invalid or escaped sequence is
      // continuation bytes, which never start a valid one.
      append_wide(out, kEscapeBase + *p);
      ++p;
    } else {
      append_wide(out, kReplacement);
      p += -n;
    }
  }
  return out;
}

}  // namespace

std::string utf8_from_wide(std::wstring_view text, char bad) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) append_utf8(out, next_character(text, i), bad);
  return out;
}

namespace {

constexpr std::size_t kAsciiRun = 16;

#if defined(__SSE2__)
// Sixteen 32-bit characters in four vectors, and whether none of them has
// a bit of `mask` set (a negative wchar_t has its high bits set too).
struct wide_run {
  __m128i a, b, c, d;
};
wide_run load_wide_run(const wchar_t* s) {
  const auto load = [s](std::size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + at));
  };
  return {load(0), load(4), load(8), load(12)};
}
bool clear_of(const wide_run& r, std::uint32_t mask) {
  const __m128i high = _mm_and_si128(_mm_or_si128(_mm_or_si128(r.a, r.b), _mm_or_si128(r.c, r.d)),
                                     _mm_set1_epi32(static_cast<int>(mask)));
  return _mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) == 0xFFFF;
}
#endif


// Writes the 16 characters at `s` as bytes at `out` and returns the end,
// if all are ASCII (and, with `kStopAtBreak`, none is CR or LF); null,
// writing nothing, otherwise. Log text is nearly all ASCII: one test of
// the OR of all sixteen, and of the packed bytes for the breaks, decides.
template <bool kStopAtBreak>
char* narrow_ascii_run(const wchar_t* s, char* out) {
#if defined(__SSE2__)
  __m128i bytes;
  if constexpr (sizeof(wchar_t) == 4) {
    const wide_run r = load_wide_run(s);
    if (!clear_of(r, 0xFFFFFF80u)) return nullptr;
    bytes = _mm_packus_epi16(_mm_packs_epi32(r.a, r.b), _mm_packs_epi32(r.c, r.d));
  } else {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
    const __m128i high =
        _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return nullptr;
    bytes = _mm_packus_epi16(a, b);
  }
  if constexpr (kStopAtBreak) {
    const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
    if (_mm_movemask_epi8(breaks) != 0) return nullptr;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  return out + kAsciiRun;
#else
  unsigned bad = 0;
  for (std::size_t k = 0; k < kAsciiRun; ++k) {
    const auto c = static_cast<std::make_unsigned_t<wchar_t>>(s[k]);
    bad |= c >= 0x80 || (kStopAtBreak && (c == L'\r' || c == L'\n'));
  }
  if (bad != 0) return nullptr;
  for (std::size_t k = 0; k < kAsciiRun; ++k) out[k] = static_cast<char>(s[k]);
  return out + kAsciiRun;
#endif
}

// The UTF-8 encoding of `text` from `i` (to its first CR or LF with
// `kStopAtBreak`) at `out`; `i` is left at the end or the break.
template <bool kStopAtBreak>
char* encode_utf8_from(std::wstring_view text, std::size_t& i, char* out) {
  const std::size_t n = text.size();
  while (i < n) {
    if (n - i >= kAsciiRun) {
      if (char* const end = narrow_ascii_run<kStopAtBreak>(text.data() + i, out)) {
        out = end;
        i += kAsciiRun;
        continue;
      }
    }
    // The last few: the run that ends with them, if it passes, once more.
    // Its characters before `i` are then ASCII (and no break), which went
    // out as one byte each, so it writes their bytes again where they are.
    if (n - i < kAsciiRun && n >= kAsciiRun) {
      const std::size_t back = kAsciiRun - (n - i);
      if (char* const end = narrow_ascii_run<kStopAtBreak>(text.data() + n - kAsciiRun, out - back)) {
        i = n;
        return end;
      }
    }
    // The run that failed the test, or the last few, one at a time.
    const std::size_t stop = i + std::min(kAsciiRun, n - i);
    while (i < stop) {
      const char32_t c = static_cast<char32_t>(text[i]);
      if (kStopAtBreak && (c == U'\r' || c == U'\n')) return out;
      if (c < 0x80) {
        *out++ = static_cast<char>(c);
        ++i;
      } else {
        put_utf8(next_character(text, i), '?', [&out](char b) { *out++ = b; });
      }
    }
  }
  return out;
}

}  // namespace

char* encode_utf8(std::wstring_view text, char* out) {
  std::size_t i = 0;
  return encode_utf8_from<false>(text, i, out);
}

char* encode_utf8_to_break(std::wstring_view text, std::size_t& used, char* out) {
  used = 0;
  return encode_utf8_from<true>(text, used, out);
}

std::wstring wide_from_utf8(std::string_view text) { return decode_utf8_text(text, false); }

std::wstring wide_from_file_name(std::string_view bytes) { return decode_utf8_text(bytes, true); }

std::string file_name_from_wide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = next_character(text, i);
    if (is_escape(c))
      out.push_back(static_cast<char>(c - kEscapeBase));
    else
      append_utf8(out, c, '?');
  }
  return out;
}

std::u16string utf16_from_wide(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto put = [&out](char16_t unit) { out.push_back(unit); };
  for (std::size_t i = 0; i < text.size();) put_utf16(next_character(text, i), put);
  return out;
}

namespace {

constexpr std::size_t kBlock = 8;

// Writes the 8 characters at `s` as little-endian UTF-16 units at `out`
// and returns the end, if all are below the surrogates (they are then one
// unit each, as they are); null, writing nothing, otherwise.
char* narrow_block(const wchar_t* s, char* out) {
#if defined(__SSE2__)
  if constexpr (sizeof(wchar_t) == 4) {
    // Eight at once. The test is unsigned (a negative wchar_t is no
    // character): both sides are moved by 2^31 to compare as signed. The
    // narrowing keeps each value's low 16 bits: sign-extended from them
    // first, the saturating pack leaves them unchanged.
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4));
    const __m128i bias = _mm_set1_epi32(INT32_MIN);
    const __m128i limit = _mm_set1_epi32(static_cast<int>(0xD800u ^ 0x80000000u));
    const __m128i below = _mm_and_si128(_mm_cmplt_epi32(_mm_xor_si128(a, bias), limit),
                                        _mm_cmplt_epi32(_mm_xor_si128(b, bias), limit));
    if (_mm_movemask_epi8(below) != 0xFFFF) return nullptr;
    const auto low16 = [](__m128i v) { return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16); };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(low16(a), low16(b)));
    return out + 2 * kBlock;
  }
#endif
  // Elsewhere two fixed-length loops that the compiler turns into a few vector
  // instructions where it can.
  unsigned high = 0;
  for (std::size_t k = 0; k < kBlock; ++k) high |= static_cast<char32_t>(s[k]) >= 0xD800;
  if (high != 0) return nullptr;
  if constexpr (std::endian::native == std::endian::little) {
    char16_t units[kBlock];
    for (std::size_t k = 0; k < kBlock; ++k) units[k] = static_cast<char16_t>(s[k]);
    std::memcpy(out, units, sizeof units);
    out += sizeof units;
  } else {
    for (std::size_t k = 0; k < kBlock; ++k) {
      out[0] = static_cast<char>(s[k] & 0xFF);
      out[1] = static_cast<char>((s[k] >> 8) & 0xFF);
      out += 2;
    }
  }
  return out;
}

// Writes the 16 characters at `s` as UTF-16LE units at `out` and returns
// the end, if all are below U+8000, as nearly every log line's characters
// are; null, writing nothing, otherwise (also where there are no vector
// instructions). Below U+8000 the saturating pack keeps each value as it
// is, so one test of the OR of all sixteen is the whole check: half the
// instructions of two narrow_block calls.
char* narrow_plain_run(const wchar_t* s, char* out) {
#if defined(__SSE2__)
  if constexpr (sizeof(wchar_t) == 4) {
    const wide_run r = load_wide_run(s);
    if (!clear_of(r, 0xFFFF8000u)) return nullptr;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(r.a, r.b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_packs_epi32(r.c, r.d));
    return out + 4 * kBlock;
  }
#endif
  (void)s;
  (void)out;
  return nullptr;
}

}  // namespace

// Log lines go through here once each, and their text is nearly all below
// the surrogate range: runs of 16 characters below U+8000 and blocks of 8
// below the surrogates are tested and narrowed at once (narrow_plain_run,
// narrow_block); anything else goes one character at a time.
char* encode_utf16le(std::wstring_view text, char* out) {
  const wchar_t* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  const auto put = [&out](char16_t unit) {
    out[0] = static_cast<char>(unit & 0xFF);
    out[1] = static_cast<char>(unit >> 8);
    out += 2;
  };
  // One character: most of those outside the blocks are still below the
  // surrogates and go out as they are.
  const auto one = [&] {
    if (static_cast<char32_t>(s[i]) < 0xD800)
      put(static_cast<char16_t>(s[i++]));
    else
      put_utf16(next_character(text, i), put);
  };
  // The plain runs at the start, which are mostly the whole text, in a
  // loop of their own: the lambdas below hold `out` by reference, which
  // would keep it in memory rather than in a register.
  {
    char* at = out;
    while (n - i >= 2 * kBlock) {
      char* const end = narrow_plain_run(s + i, at);
      if (!end) break;
      at = end;
      i += 2 * kBlock;
    }
    // The last few, when all before them went as runs: the run that ends
    // with them, if it is plain, once more (see the last block below).
    if (i < n && n - i < 2 * kBlock && n >= 2 * kBlock) {
      if (char* const end = narrow_plain_run(s + n - 2 * kBlock, at - 2 * (2 * kBlock - (n - i))))
        return end;
    }
    out = at;
  }
  while (n - i >= kBlock) {
    if (char* const end = narrow_block(s + i, out)) {
      out = end;
      i += kBlock;
    } else {
      one();
    }
  }
  if (i < n && n >= kBlock) {
    // The last few: the block that ends with them, if it is all plain,
    // once more. Its characters before `i` were then one unit each, so
    // their units are where it writes them again, the same.
    const std::size_t back = kBlock - (n - i);
    if (char* const end = narrow_block(s + n - kBlock, out - 2 * back)) return end;
  }
  while (i < n) one();
  return out;
}

std::wstring wide_from_utf16(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      append_wide(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      append_wide(out, kReplacement);
    } else {
      out.push_back(static_cast<wchar_t>(u));
    }
  }
  return out;
}

}  // namespace krCore::detail
