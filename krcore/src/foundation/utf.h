// Internal: conversions between the library's wide text (UTF-32 where
// wchar_t has 32 bits, UTF-16 where it has 16, as on Windows) and the byte
// encodings at its boundaries (UTF-8 for narrow text, UTF-16 for fixed byte
// formats such as log files, protected blobs and resources), and the one
// reversible mapping between file-name bytes and wide text.
#pragma once

#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// Wide → UTF-8. A value that is not a Unicode scalar value becomes `bad`.
KRCORE_INTERNAL std::string utf8_from_wide(std::wstring_view text, char bad = '?');
// Writes the UTF-8 encoding of `text` to `out`, which must have room for 4
// bytes per character (a value that is not a scalar value becomes '?');
// returns the end.
KRCORE_INTERNAL char* encode_utf8(std::wstring_view text, char* out);
// The same for `text` up to its first CR or LF (all of it if it has none);
// `used` gets the characters encoded.
KRCORE_INTERNAL char* encode_utf8_to_break(std::wstring_view text, std::size_t& used, char* out);
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

// File names (and the environment values and arguments that carry them) are
// bytes on this platform: usually UTF-8, but nothing stops a name from
// holding any byte except '/' and NUL. The library's wide text holds every
// such name reversibly: valid UTF-8 decodes as usual, and each byte that is
// not part of a valid sequence becomes one escape character, U+10FE00 plus
// the byte (U+10FE80..U+10FEFF, in the Supplementary Private Use Area-B).
// A valid sequence that itself encodes an escape character is escaped byte by
// byte, so bytes → wide → bytes gives back the same bytes, always.
//
// Why not the lone surrogates U+DC80..U+DCFF that other runtimes use: the
// library writes wide text as well-formed UTF-16 (log files, blobs, the
// registry's strings), where an unpaired surrogate becomes U+FFFD. An escape
// character is a surrogate pair there and comes back unchanged, so a path
// read back from a log line or a REG_SZ value still names the file.
//
// The cost: wide text that holds a genuine U+10FE80..U+10FEFF names the byte
// instead when used as a file name. Neither function throws for any input;
// only allocation may.
KRCORE_INTERNAL std::wstring wide_from_file_name(std::string_view bytes);
// The inverse: escape characters give back their byte, other characters
// their UTF-8; a value that is not a Unicode scalar value becomes '?'.
KRCORE_INTERNAL std::string file_name_from_wide(std::wstring_view text);

}  // namespace krCore::detail
