// The store's text forms: escaped file names, case-insensitive name
// comparison, and the value file's text <-> the value's byte image.
//
// The byte image is what a Windows caller would see (UTF-16LE strings with
// terminators, little-endian numbers), so that size rules such as "a string
// does not fit a 4-byte buffer" hold exactly; the file keeps the text form
// an administrator can read and edit.
#include "registry/value_file.h"

#include <charconv>
#include <cstring>
#include <locale>

#include <openssl/evp.h>

#include "foundation/utf.h"

namespace krCore::detail::reg {
namespace {

bool must_escape(unsigned char c, bool first) {
  if (c < 0x20 || c == 0x7F || c == '/' || c == '%') return true;
  return first && (c == '.' || c == '@');
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends `c` as two hexadecimal digits from `digits` (upper or lower case).
// Binary values are written a byte at a time, so this stays out of printf.
void append_hex(std::string& out, unsigned char c, const char (&digits)[17]) {
  out += digits[c >> 4];
  out += digits[c & 0xF];
}

// The folding facet of a UTF-8 locale when the system has one; the "C"
// locale's otherwise (ASCII only).
const std::ctype<wchar_t>& folding() {
  static const std::locale locale = [] {
    try {
      return std::locale("C.UTF-8");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return std::use_facet<std::ctype<wchar_t>>(locale);
}

struct type_entry {
  DWORD type;
  const char* name;
};
constexpr type_entry kTypes[] = {
    {0, "REG_NONE"}, {1, "REG_SZ"},       {2, "REG_EXPAND_SZ"}, {3, "REG_BINARY"},
    {4, "REG_DWORD"},         {7, "REG_MULTI_SZ"}, {11, "REG_QWORD"},
};

bool is_string_type(DWORD type) { return type == 1 || type == 2; }

std::u16string utf16_units(const BYTE* data, size_t size) {
  std::u16string units(size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  return units;
}

void append_units(std::vector<BYTE>& out, std::wstring_view text) {
  for (char16_t u : utf16_from_wide(text)) {
    out.push_back(static_cast<BYTE>(u & 0xFF));
    out.push_back(static_cast<BYTE>(u >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

bool parse_number(std::string_view text, std::uint64_t max, std::uint64_t& value) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '\t'))
    text.remove_suffix(1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

// Splits the data part into lines; one final line break ends the last line
// and does not start another. A carriage return before a line feed is
// dropped, for files edited with Windows line ends.
std::vector<std::string_view> data_lines(std::string_view data) {
  std::vector<std::string_view> lines;
  while (!data.empty()) {
    const size_t nl = data.find('\n');
    std::string_view line = data.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    data.remove_prefix(nl + 1);
  }
  return lines;
}

}  // namespace

std::string escape_name(std::wstring_view name) {
  const std::string utf8 = utf8_from_wide(name);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (must_escape(c, i == 0)) {
      out += '%';
      append_hex(out, c, "0123456789ABCDEF");
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool unescape_name(std::string_view file, std::wstring& name) {
  std::string utf8;
  utf8.reserve(file.size());
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] != '%') {
      utf8.push_back(file[i]);
      continue;
    }
    if (i + 2 >= file.size()) return false;
    const int hi = hex_digit(file[i + 1]), lo = hex_digit(file[i + 2]);
    if (hi < 0 || lo < 0) return false;
    utf8.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  name = wide_from_utf8(utf8);
  return true;
}

namespace {

// "%%" and the SHA-256 of the name's upper-case fold.
std::string hashed_name(std::wstring_view name) {
  const auto& facet = folding();
  std::wstring folded(name);
  for (wchar_t& c : folded) c = facet.toupper(c);
  const std::string utf8 = utf8_from_wide(folded);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  std::string out = "%%";
  if (EVP_Digest(utf8.data(), utf8.size(), digest, &size, EVP_sha256(), nullptr) != 1) size = 0;
  for (unsigned int i = 0; i < size; ++i) append_hex(out, digest[i], "0123456789abcdef");
  return out;
}

}  // namespace

std::string key_file_name(std::wstring_view name) {
  std::string file = escape_name(name);
  return file.size() <= kMaxFileNameBytes ? file : hashed_name(name);
}

std::string value_file_name(std::wstring_view name) {
  std::string file = "@" + escape_name(name);
  return file.size() <= kMaxFileNameBytes ? file : "@" + hashed_name(name);
}

bool is_hashed_file_name(std::string_view file) {
  if (!file.empty() && file[0] == '@') file.remove_prefix(1);
  return file.size() == 66 && file.substr(0, 2) == "%%";
}

bool names_equal(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  const auto& facet = folding();
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && facet.toupper(a[i]) != facet.toupper(b[i])) return false;
  return true;
}

bool names_less(std::wstring_view a, std::wstring_view b) {
  const auto& facet = folding();
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const wchar_t x = facet.toupper(a[i]), y = facet.toupper(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

const char* type_name(DWORD type) {
  for (const type_entry& e : kTypes)
    if (e.type == type) return e.name;
  return nullptr;
}

bool type_from_name(std::string_view name, DWORD& type) {
  for (const type_entry& e : kTypes) {
    if (name == e.name) {
      type = e.type;
      return true;
    }
  }
  return false;
}

std::vector<BYTE> string_image(std::wstring_view text) {
  std::vector<BYTE> out;
  append_units(out, text);
  return out;
}

std::vector<BYTE> multi_string_image(const std::vector<std::wstring>& list) {
  std::vector<BYTE> out;
  for (const std::wstring& s : list) append_units(out, s);
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<std::wstring> strings_of_image(const BYTE* data, size_t size) {
  std::vector<std::wstring> list;
  const std::u16string units = utf16_units(data, size);
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) end = units.size();
    if (end == start) break;
    list.push_back(wide_from_utf16(std::u16string_view(units).substr(start, end - start)));
    start = end + 1;
  }
  return list;
}

DWORD format_value_file(DWORD type, const BYTE* data, size_t size, std::string& text) {
  const char* name = type_name(type);
  if (!name || (size && !data)) return 87;
  text = name;
  text += '\n';
  if (type == 4 || type == 11) {
    if (size != (type == 4 ? 4u : 8u)) return 87;
    std::uint64_t value = 0;
    for (size_t i = size; i-- > 0;) value = (value << 8) | data[i];
    text += std::to_string(value);
    text += '\n';
  } else if (is_string_type(type)) {
    const std::u16string units = utf16_units(data, size);
    const std::u16string_view upto(units.data(), std::min(units.size(), units.find(u'\0')));
    text += utf8_from_wide(wide_from_utf16(upto));
    text += '\n';
  } else if (type == 7) {
    for (const std::wstring& s : strings_of_image(data, size)) {
      if (s.find_first_of(L"\r\n") != std::wstring::npos) return 87;
      text += utf8_from_wide(s);
      text += '\n';
    }
  } else {
    text.reserve(text.size() + 3 * size);
    for (size_t i = 0; i < size; ++i) {
      if (i) text += (i % 16) ? ' ' : '\n';
      append_hex(text, data[i], "0123456789abcdef");
    }
    if (size) text += '\n';
  }
  return text.size() > kMaxValueFileBytes ? 87 : 0;
}

DWORD parse_value_file(std::string_view text, DWORD& type, std::vector<BYTE>& image,
                       std::string* why) {
  std::string ignored;
  std::string& reason = why ? *why : ignored;
  const auto refuse = [&reason](std::string text) {
    reason = std::move(text);
    return DWORD{13};
  };
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) return refuse("starts with a byte-order mark");
  const size_t nl = text.find('\n');
  std::string_view first = text.substr(0, nl);
  // A file edited with Windows line ends has CR LF after its first line; only
  // then is a CR before the text's final LF a line end. Otherwise it belongs
  // to the text, which may end with a CR of its own.
  const bool crlf = !first.empty() && first.back() == '\r';
  if (crlf) first.remove_suffix(1);
  const std::string_view data =
      nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  if (!type_from_name(first, type)) {
    std::string shown(first.substr(0, 40));
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return refuse("has the unknown type name [" + shown + "]");
  }
  image.clear();
  if (type == 4 || type == 11) {
    std::uint64_t value = 0;
    if (!parse_number(data, type == 4 ? 0xFFFFFFFFull : ~0ull, value))
      return refuse(std::string("holds no ") + (type == 4 ? "32" : "64") +
                    "-bit unsigned number (decimal or 0x hexadecimal)");
    for (size_t i = 0; i < (type == 4 ? 4u : 8u); ++i) image.push_back(static_cast<BYTE>(value >> (8 * i)));
  } else if (is_string_type(type)) {
    std::string_view s = data;
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (crlf && !s.empty() && s.back() == '\r') s.remove_suffix(1);
    // A NUL would end the string inside its own image: not a text value.
    if (s.find('\0') != std::string_view::npos) return refuse("holds a NUL inside its text");
    image = string_image(wide_from_utf8(s));
  } else if (type == 7) {
    std::vector<std::wstring> list;
    for (std::string_view line : data_lines(data)) {
      if (line.empty()) break;  // an empty string ends the list, as in the image
      // A NUL would split the entry in the image, a lone CR is a line break
      // no entry holds: neither is a list this store writes.
      if (line.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos)
        return refuse("holds a NUL or a lone carriage return inside a string");
      list.push_back(wide_from_utf8(line));
    }
    image = multi_string_image(list);
  } else {
    int high = -1;
    for (char c : data) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',') {
        if (high >= 0) return refuse("holds half a byte");
        continue;
      }
      const int d = hex_digit(c);
      if (d < 0) return refuse("holds a character that is not a hexadecimal digit");
      if (high < 0) {
        high = d;
      } else {
        image.push_back(static_cast<BYTE>(high * 16 + d));
        high = -1;
      }
    }
    if (high >= 0) return refuse("holds half a byte");
  }
  return 0;
}

}  // namespace krCore::detail::reg
