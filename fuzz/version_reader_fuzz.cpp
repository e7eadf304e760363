// Fuzz target: the image reader and the version-block walk. The input is
// taken as a whole image (PE or ELF) and, independently, as a version
// block; neither may read outside the input, and a located resource must
// lie inside it. Version texts parse without fault as well.
#include <krcore/versions.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/utf.h"
#include "versions/image_reader.h"
#include "versions/version_tree.h"

namespace {

void walk(const unsigned char* block, std::size_t size) {
  krCore::detail::version_value value;
  for (const wchar_t* path : {L"\\", L"\\VarFileInfo\\Translation",
                              L"\\StringFileInfo\\040904B0\\FileVersion", L"\\a\\b\\c\\d"}) {
    if (!krCore::detail::find_version_value(block, size, path, value)) continue;
    const std::size_t bytes = value.text ? std::size_t{value.length} * 2 : value.length;
    if (value.data < block || value.data + bytes > block + size) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  krCore::detail::memory_source image(data, size);
  krCore::detail::resource_location where;
  const unsigned long rc = krCore::detail::locate_version_resource(image, where);
  if (rc == 0) {
    if (where.offset > size || where.size > size - where.offset) std::abort();
    walk(data + where.offset, where.size);
  } else if (rc != 1812 && rc != 1813) {
    std::abort();
  }
  walk(data, size);
  const std::string text(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
  krCore::version(krCore::detail::wide_from_utf8(text)).c_str();
  return 0;
}
