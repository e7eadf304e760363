// Internal: the text form of a GUID, shared by createguid and the command
// scheduler's IDs.
#pragma once

#include <krcore/wintypes.h>

#include <cstddef>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The length of a GUID's text, 8-4-4-4-12 digits and dashes.
constexpr std::size_t kGuidTextLength = 36;

// A text of a GUID's length with the dashes in place, for put_guid_digits:
// the only allocation a GUID's text needs, which a caller can make before
// a step that must not fail afterwards. Throws std::bad_alloc.
inline std::wstring guid_text_frame() { return std::wstring(kGuidTextLength, L'-'); }

// Writes the 32 lower-case hexadecimal digits of `guid` into the places
// of the 8-4-4-4-12 text at `text` (kGuidTextLength characters), leaving
// the dashes' places as they are. Never fails.
KRCORE_INTERNAL void put_guid_digits(const GUID& guid, wchar_t* text);

// The 36-character form 8-4-4-4-12 in lower-case hexadecimal digits, no
// braces, as the platform's UUID-to-string gives it. Throws std::bad_alloc.
KRCORE_INTERNAL std::wstring guid_text(const GUID& guid);

// A new random (version 4) GUID into `guid`; 0, or the random source's
// Win32 code with `guid` unchanged. Never throws.
KRCORE_INTERNAL unsigned long random_guid(GUID& guid);
// `count` new random GUIDs (at most 16) into `guids`, from one draw of the
// random source; 0, or its Win32 code with `guids` unspecified. Never
// throws.
KRCORE_INTERNAL unsigned long random_guids(GUID* guids, std::size_t count);

// A new random GUID that is meant to become text: fails as createguid()
// does, with krException "createguid::CoCreateGuid failed".
KRCORE_INTERNAL void create_text_guid(GUID& guid);

}  // namespace krCore::detail
