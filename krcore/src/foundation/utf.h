// Internal: conversions between the library's 32-bit wide text and the byte
// encodings at its boundaries (UTF-8 for narrow text, UTF-16 for fixed byte
// formats such as log files, protected blobs and resources).
#pragma once

#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// Wide → UTF-8. A value that is not a Unicode scalar value becomes `bad`.
KRCORE_INTERNAL std::string utf8_from_wide(std::wstring_view text, char bad = '?');
// UTF-8 → wide. Each maximal invalid subpart becomes U+FFFD.
KRCORE_INTERNAL std::wstring wide_from_utf8(std::string_view text);
// Wide → UTF-16 (surrogate pairs above U+FFFF). A value that is not a scalar
// value becomes U+FFFD.
KRCORE_INTERNAL std::u16string utf16_from_wide(std::wstring_view text);
// Writes the UTF-16 encoding of `text` as little-endian bytes to `out`,
// which must have room for 4 bytes per character; returns the end.
KRCORE_INTERNAL char* encode_utf16le(std::wstring_view text, char* out);
// UTF-16 → wide. An unpaired surrogate becomes U+FFFD.
KRCORE_INTERNAL std::wstring wide_from_utf16(std::u16string_view text);

}  // namespace krCore::detail
