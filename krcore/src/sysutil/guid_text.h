// Internal: the text form of a GUID, shared by createguid and the command
// scheduler's IDs.
#pragma once

#include <krcore/wintypes.h>

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The 36-character form 8-4-4-4-12 in lower-case hexadecimal digits, no
// braces, as the platform's UUID-to-string gives it. Never fails.
KRCORE_INTERNAL std::wstring guid_text(const GUID& guid);

// A new random (version 4) GUID into `guid`; 0, or the random source's
// Win32 code with `guid` unchanged. Never throws.
KRCORE_INTERNAL unsigned long random_guid(GUID& guid);

// A new random GUID that is meant to become text: fails as createguid()
// does, with krException "createguid::CoCreateGuid failed".
KRCORE_INTERNAL void create_text_guid(GUID& guid);

}  // namespace krCore::detail
