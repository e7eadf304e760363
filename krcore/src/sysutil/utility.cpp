// Directory services shared by the logger and the agent's components:
// creating a directory chain, creating a uniquely named temporary folder,
// and finding the machine-wide application-data directory, with the
// environment as fallback.
//
// Every step reports through the logger; the system calls sit behind
// directories.h.
#include <krcore/diagnostics.h>
#include <krcore/sysutil.h>

#include <boost/filesystem/operations.hpp>

#include <cwchar>

#include "foundation/errors.h"
#include "sysutil/directories.h"
#include "logging/logsink.h"

namespace krCore {
namespace {

namespace fs = boost::filesystem;

// Parts of a log text that are formatted only when the line is written.
struct hex_value {
  unsigned long value;
};
struct quoted_path {
  const fs::path& path;
};

void append(std::wstring& text, const wchar_t* part) { text += part; }
void append(std::wstring& text, const std::wstring& part) { text += part; }
void append(std::wstring& text, std::size_t part) { text += std::to_wstring(part); }
void append(std::wstring& text, hex_value part) {
  wchar_t buf[16];
  std::swprintf(buf, 16, L"%lx", part.value & 0xFFFFFFFFul);
  text += buf;
}
// The path's stream form: in double quotes, '&' escaping quotes and '&'.
void append(std::wstring& text, quoted_path part) {
  text += L'"';
  for (wchar_t c : detail::wide_from_path(part.path)) {
    if (c == L'"' || c == L'&') text += L'&';
    text += c;
  }
  text += L'"';
}

// Writes the parts as one entry of `level`; nothing is formatted when the
// logger does not admit the level.
template <class... Parts>
void log_at(unsigned level, const Parts&... parts) {
  if (!detail::log_enabled(level)) return;
  std::wstring text;
  (append(text, parts), ...);
  detail::log_entry(level, text);
}

// One environment variable, empty when unset or too long for the buffer.
std::wstring environment_variable(const wchar_t* name) {
  std::wstring value;
  unsigned long error = 0;
  const std::size_t length = detail::environment_value(name, value, error);
  if (length >= 1 && length <= 259) {
    log_at(detail::kLogNormal, L"EnvironmentVariable() - GetEnvironmentVariable(", name,
           L") returned [", value, L"]");
    return value;
  }
  log_at(detail::kLogNormal, L"EnvironmentVariable() - GetEnvironmentVariable(", name,
         L") failed, buffer size [", length, L"], error code [0x", hex_value{error}, L"]");
  return {};
}

}  // namespace

long CreateDirectories(const wchar_t* path) {
  return CreateDirectories(path ? std::wstring(path) : std::wstring());
}

long CreateDirectories(const std::wstring& path) {
  return CreateDirectories(detail::path_from_wide(path));
}

long CreateDirectories(const fs::path& path) {
  const std::wstring text = detail::wide_from_path(path);
  log_at(detail::kLogVerbose, L"CreateDirectories() - called with path [", text, L"]");
  se_exception_initializer guard;
  try {
    if (fs::exists(path)) {
      log_at(detail::kLogVerbose, L"CreateDirectories() - directory [", text,
             L"] exists and will be reused");
    } else {
      log_at(detail::kLogVerbose, L"CreateDirectories() - creating directory [", text, L"]");
      fs::create_directories(path);
    }
  } catch (...) {
    guard.Analyze("..\\krcore\\utility", 2136);
  }
  if (guard.info_count() == 0) return 0;
  const long hr = guard.get_hresult(0);
  return hr != 0 ? hr : static_cast<long>(static_cast<int>(0x80004005u));
}

std::wstring CreateTempFolder(const std::wstring& parent, const std::wstring& name) {
  std::wstring base = parent;
  if (base.empty()) {
    unsigned long error = 0;
    base = detail::temp_directory(error);
    if (base.empty()) throw w32_exception(error ? error : 0x80004005ul);
  }
  const fs::path basePath = detail::path_from_wide(base);
  if (!fs::exists(basePath)) fs::create_directory(basePath);

  const std::wstring leaf = name.empty() ? createguid() : name;
  unsigned long counter = 1;
  fs::path candidate = basePath / detail::path_from_wide(leaf);
  // A name is taken by anything that is there, a symbolic link included
  // (one that points nowhere too, which `exists` would not see while
  // creation fails on it). The tries are bounded, so a folder that refuses
  // every name gives an error instead of a loop.
  const auto taken = [](const fs::path& path) {
    boost::system::error_code ignored;
    return fs::symlink_status(path, ignored).type() != fs::file_not_found;
  };
  constexpr unsigned long kMaxTries = 100000;
  for (;;) {
    while (taken(candidate)) {
      if (counter > kMaxTries)
        throw w32_exception(L"CreateTempFolder - no free name for the directory",
                            detail::kErrorAlreadyExists);
      candidate = basePath / detail::path_from_wide(leaf + std::to_wstring(counter));
      ++counter;
    }
    const unsigned long error =
        detail::create_one_directory(detail::wide_from_path(candidate), true);
    if (error == 0) break;
    log_at(detail::kLogWarning, L"CreateTempFolder - failed to create directory [",
           quoted_path{candidate}, L"], error [0x", hex_value{error}, L"]");
    // Another creator won the race for this name: move on to the next one.
    if (error != detail::kErrorAlreadyExists || counter > kMaxTries) throw w32_exception(error);
    candidate = basePath / detail::path_from_wide(leaf + std::to_wstring(counter));
    ++counter;
  }
  log_at(detail::kLogNormal, L"CreateTempFolder - created directory [", quoted_path{candidate},
         L"]");
  return detail::wide_from_path(candidate);
}

std::wstring GetAppDataDirectory() {
  std::wstring result;
  const long hr = detail::common_appdata_directory(result);
  if (hr == 0)
    log_at(detail::kLogNormal, L"GetAppDataDirectory() - SHGetFolderPath returned [", result,
           L"]");
  else
    log_at(detail::kLogNormal, L"GetAppDataDirectory() - SHGetFolderPath failed with error code [0x",
           hex_value{static_cast<unsigned long>(hr)}, L"]");
  for (const wchar_t* name : {L"ALLUSERSPROFILE", L"ProgramData", L"LOCALAPPDATA", L"APPDATA"}) {
    if (!result.empty()) break;
    result = environment_variable(name);
  }
  log_at(detail::kLogNormal, L"GetAppDataDirectory() - returns path [", result, L"]");
  return result;
}

}  // namespace krCore
