// Fuzz target: the image reader and the version-block walk over hostile
// images. The input is taken as a whole image (PE or ELF) and,
// independently, as a version block. The block is walked as fileversion
// walks it: the fixed information, the translation table, and the standard
// strings of every translation read as text. Nothing may read outside the
// input (AddressSanitizer sees the input's exact bounds), a located
// resource must lie inside it and be no longer than a block can be, and a
// string's text must come from its value. Version texts parse without fault
// as well.
#include <krcore/versions.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "foundation/utf.h"
#include "versions/image_reader.h"
#include "versions/version_tree.h"

namespace {

using krCore::detail::find_version_value;
using krCore::detail::version_value;

void check_inside(const version_value& value, const unsigned char* block, std::size_t size) {
  const std::size_t bytes = value.text ? std::size_t{value.length} * 2 : value.length;
  if (value.data < block || value.data > block + size || bytes > size - static_cast<std::size_t>(value.data - block))
    std::abort();
}

void walk(const unsigned char* block, std::size_t size) {
  version_value value;
  for (const wchar_t* path : {L"\\", L"\\a\\b\\c\\d"})
    if (find_version_value(block, size, path, value)) check_inside(value, block, size);
  if (!find_version_value(block, size, L"\\VarFileInfo\\Translation", value)) return;
  check_inside(value, block, size);
  const version_value table = value;
  // As many translations as a table may list; a hostile one lists many.
  for (std::size_t i = 0; i + 4 <= table.length && i < 64; i += 4) {
    const unsigned lid = table.data[i] | table.data[i + 1] << 8;
    const unsigned cp = table.data[i + 2] | table.data[i + 3] << 8;
    wchar_t prefix[40];
    std::swprintf(prefix, 40, L"\\StringFileInfo\\%04X%04X\\", lid, cp);
    for (const wchar_t* name : {L"CompanyName", L"FileVersion", L"ProductName", L"Comments"}) {
      if (!find_version_value(block, size, std::wstring(prefix) + name, value)) continue;
      check_inside(value, block, size);
      const std::u16string text = krCore::detail::version_text(value);
      const std::size_t bytes = value.text ? std::size_t{value.length} * 2 : value.length;
      if (text.size() * 2 > bytes) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  krCore::detail::memory_source image(data, size);
  krCore::detail::resource_location where;
  const unsigned long rc = krCore::detail::locate_version_resource(image, where);
  if (rc == 0) {
    if (where.offset > size || where.size > size - where.offset ||
        where.size > krCore::detail::kMaxVersionBlock)
      std::abort();
    walk(data + where.offset, where.size);
  } else if (rc != 1812 && rc != 1813) {
    std::abort();
  }
  walk(data, size);
  const std::string text(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
  krCore::version(krCore::detail::wide_from_utf8(text)).c_str();
  return 0;
}
