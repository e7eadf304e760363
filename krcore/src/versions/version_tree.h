// Internal: the walk of a VS_VERSIONINFO byte image. Each block is
// wLength, wValueLength, wType, a NUL-terminated UTF-16 key, padding to a
// 4-byte boundary counted from the block's start, the value (wValueLength
// bytes for binary values, UTF-16 units for text), padding, then child
// blocks up to wLength.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// A value found in a version image.
struct version_value {
  const unsigned char* data = nullptr;
  // Bytes for binary values; UTF-16 units for text values.
  std::uint32_t length = 0;
  bool text = false;
};

// Looks up `path` (such as "\", "\VarFileInfo\Translation" or
// "\StringFileInfo\040904B0\Name"; empty parts are skipped) in the `size` bytes
// at `image`. Keys compare without regard to case (ASCII letters). False when a part is missing or
// the structure is damaged; a value never reaches beyond its block. Thread-safe.
KRCORE_INTERNAL bool find_version_value(const unsigned char* image, std::size_t size,
                                        std::wstring_view path, version_value& out);

// The text of a string value: its UTF-16 units up to the first NUL. A block
// typed text counts its value in units, one typed binary in bytes (an odd
// last byte is dropped); either way nothing beyond the value is read.
// Thread-safe.
KRCORE_INTERNAL std::u16string version_text(const version_value& value);

}  // namespace krCore::detail
