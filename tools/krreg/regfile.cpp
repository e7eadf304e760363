// Reading and writing the .reg text format (see regfile.h).
#include "regfile.h"

#include <cstdio>
#include <stdexcept>

#include "foundation/utf.h"
#include "registry/value_file.h"

namespace krreg {

const wchar_t* const kRegHeader = L"Windows Registry Editor Version 5.00";

namespace {

[[noreturn]] void fail(size_t line, const std::string& what) {
  throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

std::wstring quoted(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

// Reads a quoted text at `pos` (on the opening quote); `pos` ends after the
// closing quote.
std::wstring read_quoted(const std::wstring& line, size_t& pos, size_t number) {
  std::wstring out;
  for (++pos; pos < line.size(); ++pos) {
    const wchar_t c = line[pos];
    if (c == L'"') {
      ++pos;
      return out;
    }
    if (c != L'\\') {
      out += c;
      continue;
    }
    // Only the two escapes export writes: any other (a "\n" meant as a line
    // break, say) would be stored as something else than was meant.
    if (pos + 1 >= line.size() || (line[pos + 1] != L'\\' && line[pos + 1] != L'"'))
      fail(number, "unknown escape in quoted text (only \\\\ and \\\" are known)");
    out += line[++pos];
  }
  fail(number, "unterminated quoted text");
}

int hex_digit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

std::vector<BYTE> read_hex_bytes(const std::wstring& text, size_t number) {
  std::vector<BYTE> bytes;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == L' ' || text[pos] == L'\t')) ++pos;
    if (pos == text.size()) break;
    const int hi = hex_digit(text[pos]);
    const int lo = pos + 1 < text.size() ? hex_digit(text[pos + 1]) : -1;
    if (hi < 0 || lo < 0) fail(number, "bad hex byte");
    bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
    pos += 2;
    while (pos < text.size() && (text[pos] == L' ' || text[pos] == L'\t')) ++pos;
    if (pos < text.size()) {
      if (text[pos] != L',') fail(number, "bytes must be separated by commas");
      ++pos;
    }
  }
  return bytes;
}

reg_value parse_value(const std::wstring& line, size_t number) {
  reg_value v;
  size_t pos = 0;
  if (line[0] == L'@') {
    pos = 1;
  } else {
    v.name = read_quoted(line, pos, number);
    if (v.name.find(L'\0') != std::wstring::npos) fail(number, "a value name holds a NUL character");
  }
  v.line = number;
  if (pos >= line.size() || line[pos] != L'=') fail(number, "expected '=' after the value name");
  const std::wstring data = line.substr(pos + 1);
  if (data == L"-") {
    v.remove = true;
  } else if (!data.empty() && data[0] == L'"') {
    size_t at = 0;
    v.type = REG_SZ;
    v.data = krCore::detail::reg::string_image(read_quoted(data, at, number));
    if (at != data.size()) fail(number, "text after the closing quote");
  } else if (data.rfind(L"dword:", 0) == 0) {
    const std::wstring digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) fail(number, "bad dword");
    DWORD value = 0;
    for (wchar_t c : digits) {
      const int d = hex_digit(c);
      if (d < 0) fail(number, "bad dword");
      value = value * 16 + static_cast<DWORD>(d);
    }
    v.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<BYTE>(value >> (8 * i)));
  } else if (data.rfind(L"hex", 0) == 0) {
    size_t colon = data.find(L':');
    if (colon == std::wstring::npos) fail(number, "bad hex value");
    const std::wstring kind = data.substr(3, colon - 3);
    if (kind.empty()) {
      v.type = REG_BINARY;
    } else {
      // At most 8 digits: a longer number would wrap to another type.
      if (kind.size() < 3 || kind.size() > 10 || kind.front() != L'(' || kind.back() != L')')
        fail(number, "bad hex type");
      DWORD type = 0;
      for (size_t i = 1; i + 1 < kind.size(); ++i) {
        const int d = hex_digit(kind[i]);
        if (d < 0) fail(number, "bad hex type");
        type = type * 16 + static_cast<DWORD>(d);
      }
      v.type = type;
    }
    v.data = read_hex_bytes(data.substr(colon + 1), number);
  } else {
    fail(number, "unknown data form");
  }
  return v;
}

void append_hex(std::wstring& out, const std::vector<BYTE>& data, size_t prefix) {
  size_t column = prefix;
  for (size_t i = 0; i < data.size(); ++i) {
    wchar_t hex[4];
    std::swprintf(hex, 4, L"%02x", data[i]);
    out += hex;
    column += 2;
    if (i + 1 < data.size()) {
      out += L',';
      ++column;
      if (column > 76) {
        out += L"\\\r\n  ";
        column = 2;
      }
    }
  }
}

}  // namespace

std::vector<reg_key> parse_reg_text(const std::wstring& text) {
  std::vector<reg_key> keys;
  size_t number = 0, pos = 0;
  bool header = false;
  while (pos <= text.size()) {
    // One logical line: physical lines joined after a trailing backslash.
    std::wstring line;
    const size_t first = number + 1;
    for (;;) {
      size_t end = text.find(L'\n', pos);
      if (end == std::wstring::npos) end = text.size();
      std::wstring part = text.substr(pos, end - pos);
      pos = end + 1;
      ++number;
      if (!part.empty() && part.back() == L'\r') part.pop_back();
      const size_t start = line.empty() ? 0 : part.find_first_not_of(L" \t");
      line += start == std::wstring::npos ? std::wstring() : part.substr(start);
      if (line.empty() || line.back() != L'\\' || pos > text.size()) break;
      line.pop_back();
    }
    const size_t lead = line.find_first_not_of(L" \t");
    if (lead == std::wstring::npos || line[lead] == L';') continue;
    line = line.substr(lead);
    if (!header) {
      if (line != kRegHeader && line != L"REGEDIT4") fail(first, "not a .reg file (no header)");
      header = true;
      continue;
    }
    if (line[0] == L'[') {
      if (line.back() != L']') fail(first, "unterminated key name");
      reg_key key;
      key.path = line.substr(1, line.size() - 2);
      if (!key.path.empty() && key.path[0] == L'-') {
        key.remove = true;
        key.path.erase(0, 1);
      }
      if (key.path.empty()) fail(first, "empty key name");
      if (key.path.find(L'\0') != std::wstring::npos) fail(first, "a key name holds a NUL character");
      key.line = first;
      keys.push_back(std::move(key));
    } else if (line[0] == L'"' || line[0] == L'@') {
      if (keys.empty() || keys.back().remove) fail(first, "a value outside a key");
      keys.back().values.push_back(parse_value(line, first));
    } else {
      fail(first, "unexpected text");
    }
  }
  if (!header) fail(1, "not a .reg file (no header)");
  return keys;
}

std::wstring format_reg_key(const reg_key& key) {
  std::wstring out = L"[" + key.path + L"]\r\n";
  for (const reg_value& v : key.values) {
    std::wstring line = v.name.empty() ? L"@" : quoted(v.name);
    line += L'=';
    const auto strings = krCore::detail::reg::strings_of_image(v.data.data(), v.data.size());
    if (v.type == REG_SZ && strings.size() <= 1 &&
        v.data == krCore::detail::reg::string_image(strings.empty() ? L"" : strings[0])) {
      line += quoted(strings.empty() ? L"" : strings[0]);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      wchar_t hex[16];
      const DWORD value = static_cast<DWORD>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                             (static_cast<DWORD>(v.data[3]) << 24));
      std::swprintf(hex, 16, L"dword:%08x", value);
      line += hex;
    } else {
      wchar_t kind[16];
      if (v.type == REG_BINARY)
        std::swprintf(kind, 16, L"hex:");
      else
        std::swprintf(kind, 16, L"hex(%x):", v.type);
      line += kind;
      append_hex(line, v.data, line.size());
    }
    out += line + L"\r\n";
  }
  return out + L"\r\n";
}

std::wstring decode_reg_file(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string units((bytes.size() - 2) / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                       (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    return krCore::detail::wide_from_utf16(units);
  }
  std::string_view text(bytes);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.remove_prefix(3);
  return krCore::detail::wide_from_utf8(text);
}

std::string encode_reg_file(const std::wstring& text) {
  std::string out = "\xFF\xFE";
  for (char16_t u : krCore::detail::utf16_from_wide(text)) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

}  // namespace krreg
