// Four-part version numbers: parsing from text, printing and ordering.
#include <krcore/versions.h>

#include <algorithm>
#include <climits>
#include <cwchar>
#include <tuple>

namespace krCore {
namespace {

// The white space _wtoi skips before a number: the C0 controls TAB to CR,
// the space, and Unicode's space separators and line breaks.
bool is_leading_space(wchar_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The value of a decimal digit as _wtoi reads it, or -1: the ASCII digits
// and the digits of the other scripts the platform's C runtime counts
// (Arabic-Indic, Indic, Thai, Lao, Tibetan, Myanmar, Khmer, Mongolian and
// the full-width forms).
int digit_value(wchar_t c) {
  static constexpr wchar_t kZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                       0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                       0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
  for (const wchar_t zero : kZeros)
    if (c >= zero && c <= zero + 9) return static_cast<int>(c - zero);
  return -1;
}

// The value of a token as _wtoi reads it (leading white space, optional
// sign, digits up to the first non-digit; none give 0; beyond the range of
// an int it stops at INT_MAX or INT_MIN), cut to 16 bits.
unsigned short token_value(const std::wstring& token) {
  std::size_t i = 0;
  while (i < token.size() && is_leading_space(token[i])) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == L'+' || token[i] == L'-')) negative = token[i++] == L'-';
  // The magnitude stops growing once past the range of either sign.
  constexpr long long kLimit = 1LL + INT_MAX;
  long long magnitude = 0;
  for (int d = 0; i < token.size() && (d = digit_value(token[i])) >= 0; ++i)
    magnitude = std::min(magnitude * 10 + d, kLimit);
  const long long value = negative ? std::max(-magnitude, static_cast<long long>(INT_MIN))
                                   : std::min(magnitude, static_cast<long long>(INT_MAX));
  return static_cast<unsigned short>(static_cast<int>(value));
}

}  // namespace

version::version() = default;
version::version(unsigned short major, unsigned short minor, unsigned short build,
                 unsigned short revision)
    : _major(major), _minor(minor), _build(build), _revision(revision) {}
version::version(const std::wstring& text) : _text(text) { parse(text); }
version::version(const version& other)
    : _major(other._major),
      _minor(other._minor),
      _build(other._build),
      _revision(other._revision) {}
version& version::operator=(const version& other) {
  _major = other._major;
  _minor = other._minor;
  _build = other._build;
  _revision = other._revision;
  return *this;
}
version::~version() = default;

void version::parse(const std::wstring& text) {
  unsigned short* const fields[] = {&_major, &_minor, &_build, &_revision};
  std::wstring rest = text;
  for (std::size_t field = 0;; ++field) {
    // '.' is looked for first in what is left; ',' only where no '.' is.
    std::size_t separator = rest.find(L'.');
    if (separator == std::wstring::npos) separator = rest.find(L',');
    const bool last = separator == std::wstring::npos;
    if (field >= 4) return;
    *fields[field] = token_value(rest.substr(0, last ? rest.size() : separator));
    if (last) return;
    rest.erase(0, separator + 1);
  }
}

std::wstring version::c_str() const {
  wchar_t buf[32];
  std::swprintf(buf, 32, L"%d.%d.%d.%d", _major, _minor, _build, _revision);
  _text = buf;
  return _text;
}

bool version::operator==(const version& o) const {
  return std::tie(_major, _minor, _build, _revision) ==
         std::tie(o._major, o._minor, o._build, o._revision);
}
bool version::operator!=(const version& o) const { return !(*this == o); }
bool version::operator<(const version& o) const {
  return std::tie(_major, _minor, _build, _revision) <
         std::tie(o._major, o._minor, o._build, o._revision);
}
bool version::operator<=(const version& o) const { return !(o < *this); }
bool version::operator>(const version& o) const { return o < *this; }
bool version::operator>=(const version& o) const { return !(*this < o); }

}  // namespace krCore
