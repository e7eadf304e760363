// Internal: a file's version as one short text, for reports that must not
// log or throw while they are being written.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// "major.minor.build.revision" of the file version in the version resource
// of the file at `path`; "0.0.0.0" when it has none or cannot be read.
// Never throws and never logs. Thread-safe.
KRCORE_INTERNAL std::wstring file_version_text(const std::wstring& path) noexcept;

}  // namespace krCore::detail
