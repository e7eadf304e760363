// Typed reads and writes of one registry value over RegQueryValueExW and
// RegSetValueExW: the byte image's UTF-16 strings and little-endian numbers
// become wide strings, numbers and lists, on every platform alike.
#include <krcore/registry.h>

#include <algorithm>

#include "foundation/utf.h"
#include "registry/value_file.h"

namespace krCore {
namespace {

constexpr LSTATUS kUnsupportedType = 1630;
constexpr LSTATUS kInvalidData = 13;
constexpr LSTATUS kInvalidParameter = 87;
constexpr LSTATUS kMoreData = 234;

// The value's type and byte image; read again when it grew between the
// size query and the read (another writer).
LSTATUS read_image(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& image) {
  DWORD size = 0;
  LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  while (rc == 0) {
    image.assign(size, 0);
    rc = RegQueryValueExW(key, name, nullptr, &type, image.data(), &size);
    if (rc != kMoreData) break;
    rc = 0;
  }
  if (rc == 0) image.resize(size);
  return rc;
}

// The little-endian number of `size` bytes a value of `wanted` type holds.
LSTATUS read_number(HKEY key, const wchar_t* name, DWORD wanted, size_t size,
                    std::uint64_t& value) {
  DWORD type = 0;
  std::vector<BYTE> image;
  if (LSTATUS rc = read_image(key, name, type, image)) return rc;
  if (type != wanted) return kUnsupportedType;
  if (image.size() != size) return kInvalidData;
  value = 0;
  for (size_t i = size; i-- > 0;) value = (value << 8) | image[i];
  return 0;
}

LSTATUS write_number(HKEY key, const wchar_t* name, DWORD type, size_t size, std::uint64_t value) {
  BYTE image[8];
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<BYTE>(value >> (8 * i));
  return RegSetValueExW(key, name, 0, type, image, static_cast<DWORD>(size));
}

// Appends the UTF-16LE units of `text` up to its first null, and a null.
void append_utf16(std::vector<BYTE>& image, const std::wstring& text) {
  for (char16_t u : detail::utf16_from_wide(std::wstring_view(text.c_str()))) {
    image.push_back(static_cast<BYTE>(u & 0xFF));
    image.push_back(static_cast<BYTE>(u >> 8));
  }
  image.push_back(0);
  image.push_back(0);
}

LSTATUS write_image(HKEY key, const wchar_t* name, DWORD type, const std::vector<BYTE>& image) {
  return RegSetValueExW(key, name, 0, type, image.data(), static_cast<DWORD>(image.size()));
}

}  // namespace

LSTATUS reg_read_string(HKEY key, const wchar_t* name, std::wstring& value) {
  DWORD type = 0;
  std::vector<BYTE> image;
  if (LSTATUS rc = read_image(key, name, type, image)) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kUnsupportedType;
  std::u16string units(image.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(image[2 * i] | (image[2 * i + 1] << 8));
  units.resize(std::min(units.size(), units.find(u'\0')));
  value = detail::wide_from_utf16(units);
  return 0;
}

LSTATUS reg_read_dword(HKEY key, const wchar_t* name, DWORD& value) {
  std::uint64_t v = 0;
  const LSTATUS rc = read_number(key, name, REG_DWORD, 4, v);
  if (rc == 0) value = static_cast<DWORD>(v);
  return rc;
}

LSTATUS reg_read_qword(HKEY key, const wchar_t* name, std::uint64_t& value) {
  std::uint64_t v = 0;
  const LSTATUS rc = read_number(key, name, REG_QWORD, 8, v);
  if (rc == 0) value = v;
  return rc;
}

LSTATUS reg_read_multi_string(HKEY key, const wchar_t* name, std::vector<std::wstring>& value) {
  DWORD type = 0;
  std::vector<BYTE> image;
  if (LSTATUS rc = read_image(key, name, type, image)) return rc;
  if (type != REG_MULTI_SZ && type != REG_SZ) return kUnsupportedType;
  value = detail::reg::strings_of_image(image.data(), image.size());
  return 0;
}

LSTATUS reg_write_string(HKEY key, const wchar_t* name, const std::wstring& value, DWORD type) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kInvalidParameter;
  std::vector<BYTE> image;
  append_utf16(image, value);
  return write_image(key, name, type, image);
}

LSTATUS reg_write_dword(HKEY key, const wchar_t* name, DWORD value) {
  return write_number(key, name, REG_DWORD, 4, value);
}

LSTATUS reg_write_qword(HKEY key, const wchar_t* name, std::uint64_t value) {
  return write_number(key, name, REG_QWORD, 8, value);
}

LSTATUS reg_write_multi_string(HKEY key, const wchar_t* name,
                               const std::vector<std::wstring>& value) {
  std::vector<BYTE> image;
  for (const std::wstring& s : value) {
    if (s.empty() || s.find(L'\0') != std::wstring::npos) return kInvalidParameter;
    append_utf16(image, s);
  }
  image.push_back(0);
  image.push_back(0);
  return write_image(key, name, REG_MULTI_SZ, image);
}

}  // namespace krCore
