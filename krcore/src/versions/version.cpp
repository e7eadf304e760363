// Four-part version numbers: parsing from text, printing and ordering.
#include <krcore/versions.h>

#include <cwchar>
#include <cwctype>
#include <tuple>

namespace krCore {
namespace {

// The value of a token as _wtoi reads it (leading white space, optional
// sign, digits up to the first non-digit; none give 0), cut to 16 bits.
unsigned short token_value(const std::wstring& token) {
  std::size_t i = 0;
  while (i < token.size() && std::iswspace(token[i])) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == L'+' || token[i] == L'-')) negative = token[i++] == L'-';
  // Only the low 16 bits survive, so wrapping arithmetic is exact.
  unsigned int value = 0;
  for (; i < token.size() && token[i] >= L'0' && token[i] <= L'9'; ++i)
    value = value * 10u + static_cast<unsigned int>(token[i] - L'0');
  if (negative) value = 0u - value;
  return static_cast<unsigned short>(value);
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
