// The Linux half of the directory services.
//
// The temporary directory follows the shell's convention (TMPDIR, then TMP
// and TEMP, then /tmp) and is taken as given, even when it does not exist,
// so the caller decides what a missing one means. /var/lib is where the
// system keeps machine-wide application state; KRCORE_COMMON_APPDATA
// replaces it for tests and unusual hosts. Paths and environment values are
// bytes that need not be UTF-8: they cross into wide text through the
// library's reversible file-name mapping (foundation/utf.h), so a folder
// named in any encoding is the folder that gets used. A process started
// with raised rights reads none of these variables (library_setting), only
// what a caller asks for by name.
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

#include "sysutil/directories.h"
#include "foundation/errors.h"
#include "foundation/process_calls.h"
#include "foundation/utf.h"

namespace krCore::detail {
namespace {

constexpr long kPathNotFoundHr = static_cast<int>(0x80070003u);
constexpr unsigned long kEnvVarNotFound = 203;

const char* nonempty_env(const char* name) {
  const char* value = library_setting(name);
  return (value && *value) ? value : nullptr;
}

}  // namespace

boost::filesystem::path path_from_wide(const std::wstring& text) {
  return boost::filesystem::path(file_name_from_wide(text));
}

std::wstring wide_from_path(const boost::filesystem::path& path) {
  return wide_from_file_name(path.native());
}

std::wstring temp_directory(unsigned long& error) {
  error = 0;
  for (const char* name : {"TMPDIR", "TMP", "TEMP"})
    if (const char* value = nonempty_env(name)) return wide_from_file_name(value);
  return L"/tmp";
}

unsigned long create_one_directory(const std::wstring& path, bool private_dir) {
  if (::mkdir(file_name_from_wide(path).c_str(), private_dir ? 0700 : 0777) == 0) return 0;
  const int err = errno;
  // A missing parent is a missing path, not a missing file.
  if (err == ENOENT) return kErrorPathNotFound;
  return win32_from_errno(err);
}

std::wstring default_appdata_directory() { return L"/var/lib"; }

long common_appdata_directory(std::wstring& path) {
  const char* value = nonempty_env("KRCORE_COMMON_APPDATA");
  const std::string dir = value ? value : "/var/lib";
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kPathNotFoundHr;
  path = wide_from_file_name(dir);
  return 0;
}

std::size_t environment_value(const wchar_t* name, std::wstring& value, unsigned long& error) {
  error = 0;
  value.clear();
  const char* raw = std::getenv(utf8_from_wide(name).c_str());
  if (!raw) {
    error = kEnvVarNotFound;
    return 0;
  }
  value = wide_from_file_name(raw);
  return utf16_from_wide(value).size();
}

}  // namespace krCore::detail
