// Text conversions between the wide and the narrow encoding, and the
// splitting of text at delimiters.
#pragma once

#include <krcore/export.h>

#include <string>
#include <vector>

namespace krCore {

// Text conversion with the process's narrow encoding, which is UTF-8 here.
// Wide to narrow: a value that is not a Unicode scalar value (a surrogate or
// above U+10FFFF) becomes '?', the code page's default character. Narrow to
// wide: each byte sequence that is not valid UTF-8 becomes one U+FFFD per
// maximal invalid subpart. Neither throws for bad input; only allocation may.
// Thread-safe, as splitstring: none keeps state.
KRCORE_API std::string convertwstringtostring(const std::wstring& text);
KRCORE_API std::wstring convertstringtowstring(const std::string& text);

// The maximal runs of `text` that contain no character of `delimiters`, in
// order; never an empty element. Throws only std::bad_alloc.
KRCORE_API std::vector<std::wstring> splitstring(const std::wstring& text,
                                                 const std::wstring& delimiters);

}  // namespace krCore
