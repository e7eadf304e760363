// The settings report: one entry that lists the logger's settings and the
// facts a reader of the log needs (process, computer, system and program
// versions), written whenever the settings change or a new file begins.
//
// The report is written while the logger's lock is held and writing it may
// open a file that reports again; `_settingsEntry` refuses that re-entry.
#include <krcore/logging.h>
#include <krcore/security.h>

#include <cstdio>
#include <sstream>

#include "logging/debug_output.h"
#include "logging/logfile_writer.h"
#include "sysutil/environment.h"
#include "security/machine.h"
#include "security/osversion.h"
#include "versions/file_version_text.h"

namespace krCore {
namespace {

// The architecture this library was built for, as the PID line names it.
constexpr const wchar_t* build_architecture() {
#if defined(__x86_64__) || defined(_M_X64)
  return L"x64";
#elif defined(__aarch64__)
  return L"arm64";
#elif defined(__i386__) || defined(_M_IX86)
  return L"x86";
#else
  return sizeof(void*) == 8 ? L"x64" : L"x86";
#endif
}

// Starts one "\t\t\t[ name ] = " line.
std::wostream& item(std::wostream& out, const wchar_t* name) {
  return out << L"\t\t\t[ " << name << L" ] = ";
}

void level_text(std::wostream& out, int level) {
  out << level << L' ';
  if (level & 1) out << L"(verbose)";
  if (level & 2) out << L"(normal)";
  if (level & 4) out << L"(warning)";
  if (level & 8) out << L"(error)";
}

void options_text(std::wostream& out, std::uint32_t options) {
  out << std::hex << options << std::dec << L' ';
  if ((options & 0x3) == 0x3)
    out << L"(log to file and debugger/console)";
  else if (options & 0x1)
    out << L"(log to file only)";
  else
    out << L"(log only to debugger/console)";
  if (options & 0x1)
    out << ((options & 0x10000) ? L" [file Write-through mode is enabled]"
                                : L" [file Write-through mode is NOT enabled]");
  if (options & 0x4) out << L" [use process unique filenames]";
}

void windows_version_text(std::wostream& out) {
  detail::os_version_info version;
  if (detail::query_os_version(version))
    out << version.major << L'.' << version.minor << L" (Build " << version.build << L": "
        << version.service_pack << L')';
  out << L' ' << (detail::os_is_64bit() ? L"64-bit" : L"32-bit") << L" version";
}

// The executable's file version from its version resource; one without a
// version resource reports 0.0.0.0.
void app_version_text(std::wostream& out) {
  unsigned long error = 0;
  const std::wstring path = detail::executable_path(error);
  out << detail::file_version_text(path) << L" [" << path << L']';
}

// One line whose value may fail to be read: the failure goes to the debugger
// output and the line keeps what was written before it.
void guarded_item(std::wostream& out, const wchar_t* name, void (*value)(std::wostream&),
                  const char* failure) {
  item(out, name);
  try {
    value(out);
  } catch (const std::exception& e) {
    detail::debug_output(std::string(failure) + e.what() + "\r\n");
  }
  out << L"\r\n";
}

}  // namespace

void logger::log_logsettings(const wchar_t* source, log_levels level) {
  if (!is_enabled(level)) return;
  const detail::logger_lock lock(_file->gate());
  if (_baseFilename.empty()) return;
  const bool reentered = _settingsEntry.fetch_add(1) > 0;
  // Balanced on every way out, also when building the text throws.
  struct entry_guard {
    std::atomic<std::int32_t>& counter;
    ~entry_guard() { counter.fetch_sub(1); }
  } guard{_settingsEntry};
  if (reentered) {
    detail::debug_output(std::string_view("Reentrance detected in logger::log_logsettings\r\n"));
    return;
  }
  try {
    std::wostringstream text;
    text << L"QM Logger initialized" << L" from " << source << L" with the following settings:\r\n";
    item(text, L"Enable") << _enabled.load() << L"\r\n";
    item(text, L"Level");
    level_text(text, static_cast<int>(_logLevel.load()));
    text << L"\r\n\t\t\t[ Options ] = 0x";
    options_text(text, _logOptions.load());
    text << L"\r\n";
    item(text, L"MaxFileSizeInMB") << _maxFileSizeInBytes / 1048576 << L"\r\n";
    item(text, L"MaxFilesPerProcess") << _maxFileCount << L"\r\n";
    item(text, L"IncludeFilter") << _includeFilters.size() << L" string filters\r\n";
    item(text, L"ExcludeFilter") << _excludeFilters.size() << L" string filters\r\n";
    item(text, L"PID") << detail::current_process_id() << L" (" << build_architecture() << L")\r\n";
    item(text, L"COMPUTER") << GetComputerNameW(false) << L"\r\n";
    guarded_item(
        text, L"Windows Version", windows_version_text,
        "Unexpected exception caught in logger::log_logsettings while querying Windows version");
    guarded_item(text, L"App Version", app_version_text,
                 "Unexpected exception caught in logger::log_logsettings while querying version");
    log(level, text.str().c_str(), true);
  } catch (const std::exception& e) {
    detail::debug_output(std::string("Unexpected exception caught in logger::log_logsettings - ") +
                         e.what() + "\r\n");
  }
}

}  // namespace krCore
