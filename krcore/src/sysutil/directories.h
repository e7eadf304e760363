// Internal: what the directory services and the log files need from the
// platform, behind one small interface so that a Windows backend could sit
// beside the Linux one. The portable half (utility.cpp, logfile.cpp) holds
// the texts, logging and decisions; these functions only reach the system.
#pragma once

#include <boost/filesystem/path.hpp>

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// A path from the library's wide text, and back, through the reversible
// file-name mapping (wide_from_file_name), whatever the process locale says:
// bytes that are not UTF-8 survive the round trip. Never throw.
KRCORE_INTERNAL boost::filesystem::path path_from_wide(const std::wstring& text);
KRCORE_INTERNAL std::wstring wide_from_path(const boost::filesystem::path& path);

// The user's temporary directory; 0 or a Win32 code in `error`.
KRCORE_INTERNAL std::wstring temp_directory(unsigned long& error);

// Creates one directory level. Private directories (temporary folders) are
// readable by their owner only. Returns 0 or a Win32 code: 183 when the name
// exists (as a directory or a file), 3 when a parent is missing, 5 when
// access is denied.
KRCORE_INTERNAL unsigned long create_one_directory(const std::wstring& path, bool private_dir);

// The machine-wide application-data directory. Returns 0 and the path, or
// an HRESULT (0x80070003 when the directory does not exist).
KRCORE_INTERNAL long common_appdata_directory(std::wstring& path);

// Where machine-wide application data lies when nothing says otherwise (an
// absolute path): the place the log files fall back to when the
// application-data directory cannot be found.
KRCORE_INTERNAL std::wstring default_appdata_directory();

// The value of an environment variable, read as a file name (the values
// asked for name folders). Returns its length in UTF-16 units (0 when
// unset); `error` is 203 for an unset variable, else 0.
KRCORE_INTERNAL std::size_t environment_value(const wchar_t* name, std::wstring& value,
                                              unsigned long& error);

}  // namespace krCore::detail
