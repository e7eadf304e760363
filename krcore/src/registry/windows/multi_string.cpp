// The strings of a REG_MULTI_SZ image on Windows, where the image is the
// system's own wide text (UTF-16, as wchar_t is here).
#include <cstring>

#include "registry/value_file.h"

namespace krCore::detail::reg {

// The list ends at the first empty string or at the end of the image; an
// odd last byte is not a unit and is left out.
std::vector<std::wstring> strings_of_image(const BYTE* data, size_t size) {
  std::wstring units(size / sizeof(wchar_t), L'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(wchar_t));
  std::vector<std::wstring> list;
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(L'\0', start);
    if (end == std::wstring::npos) end = units.size();
    if (end == start) break;
    list.push_back(units.substr(start, end - start));
    start = end + 1;
  }
  return list;
}

}  // namespace krCore::detail::reg
