// Internal: the store's text forms, shared by every platform half and the
// tools: how a key or value name becomes a file name, how names compare,
// and how a value's byte image becomes the text of its file and back.
#pragma once

#include <krcore/wintypes.h>

#include <string>
#include <string_view>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail::reg {

// Characters a file name cannot hold, '%', control characters and a leading
// '.' or '@' become %XX (upper-case hex of each UTF-8 byte). The result is
// never empty for a non-empty name, never starts with '.' or '@'.
KRCORE_INTERNAL std::string escape_name(std::wstring_view name);
// The inverse; false for a text that is not a well-formed escaped name.
KRCORE_INTERNAL bool unescape_name(std::string_view file, std::wstring& name);

// The longest key name (one component of a path) and value name, in UTF-16
// units, as Windows has them.
inline constexpr size_t kMaxKeyNameUnits = 255;
inline constexpr size_t kMaxValueNameUnits = 16383;
// The length of `name` in UTF-16 units.
inline size_t utf16_units(std::wstring_view name) {
  size_t units = 0;
  // Above U+FFFF a character takes two units (never where wchar_t is UTF-16).
  for (wchar_t c : name) units += (static_cast<std::uint32_t>(c) >> 16) != 0 ? 2 : 1;
  return units;
}

// The longest file name the file systems under the store accept.
inline constexpr size_t kMaxFileNameBytes = 255;
// The most a hashed entry's kept name may take (the escaped name and its
// line end): a value name of 16,383 UTF-16 units is at most 49,149 escaped
// bytes.
inline constexpr size_t kMaxKeptNameBytes = size_t{64} * 1024;

// The file name of the key `name` in its parent's folder, and of the value
// `name` in its key's folder ("@" first). A name whose escaped form does not
// fit one file name goes by a hash instead: "%%" and the SHA-256 (64
// lower-case hex digits) of the name's upper-case fold, so that every
// spelling of it meets the same file. Escaping never makes "%%", so a
// hashed name never meets an escaped one; the entry then keeps its real
// name inside (the store's business).
KRCORE_INTERNAL std::string key_file_name(std::wstring_view name);
KRCORE_INTERNAL std::string value_file_name(std::wstring_view name);
// True for a file name key_file_name or value_file_name hashed.
KRCORE_INTERNAL bool is_hashed_file_name(std::string_view file);

// Case-insensitive equality and order of names, character by character with
// the simple Unicode case folding of the C.UTF-8 locale.
KRCORE_INTERNAL bool names_equal(std::wstring_view a, std::wstring_view b);
KRCORE_INTERNAL bool names_less(std::wstring_view a, std::wstring_view b);

// The type names of the value file's first line; null for a type the store
// does not keep.
KRCORE_INTERNAL const char* type_name(DWORD type);
// The type of a name; false when it names none.
KRCORE_INTERNAL bool type_from_name(std::string_view name, DWORD& type);

// The largest value file the store writes or reads (1 MiB of text: a text
// value of about half a million characters, a binary value of about 340 KiB,
// far beyond what settings hold). A bigger file, a link to /dev/zero or a
// FIFO is refused before it is read, so a planted file can neither hold a
// reader nor make it allocate without bound.
inline constexpr size_t kMaxValueFileBytes = size_t{1} << 20;

// Makes the text of a value file from a value's byte image. Returns 0, or
// 87 when the store cannot keep it (unknown type, a number of the wrong
// size, a line break inside a multi-string entry, a text longer than
// kMaxValueFileBytes).
KRCORE_INTERNAL DWORD format_value_file(DWORD type, const BYTE* data, size_t size,
                                        std::string& text);
// Rebuilds a value's byte image from the text of its file. Returns 0, or 13
// when the text is not a value file (unknown type, malformed data); `why`,
// when given, then says in a few words what is wrong, for a diagnostic.
// Type names are upper case and the file has no byte-order mark, exactly
// as the store writes them: anything else was edited by hand and is refused
// rather than guessed at.
KRCORE_INTERNAL DWORD parse_value_file(std::string_view text, DWORD& type,
                                       std::vector<BYTE>& image, std::string* why = nullptr);

// The byte image of a text value (UTF-16LE and its terminator) and of a
// list of strings (each terminated, then one more terminator).
KRCORE_INTERNAL std::vector<BYTE> string_image(std::wstring_view text);
KRCORE_INTERNAL std::vector<BYTE> multi_string_image(const std::vector<std::wstring>& list);
// The strings of a multi-string image, up to the first empty one; a text
// value's image gives its one string.
KRCORE_INTERNAL std::vector<std::wstring> strings_of_image(const BYTE* data, size_t size);

}  // namespace krCore::detail::reg
