// The logger's start from the machine's logging configuration: reading the
// registry key into the settings, and starting the thread that follows it.
//
// Everything the reading says goes to the debugger output, never into the
// log: it runs while the log may be half-configured, and an administrator
// looking for why logging does not start reads the debugger channel.
//
// A missing value means its default (Enable and Level 0, MaxFileSizeInMB
// 15, MaxFilesPerProcess 10, Options 0, no filters). A value whose file the
// store refuses (not a regular file, too large, malformed) is not missing:
// the setting it feeds keeps its current value (for a logger not yet
// configured, its initial one), and the debugger output names the file,
// the value and why.
#include <krcore/logging.h>
#include <krcore/registry.h>
#include <krcore/security.h>

#include <optional>
#include <string>
#include <vector>

#include "logging/debug_output.h"
#include "logging/logfile_writer.h"
#include "logging/logger_config.h"
#include "logging/loud_failure.h"
#include "registry/reg_query.h"
#include "threading/native_thread.h"

namespace krCore {
namespace {

void debug(const std::wstring& text) { detail::debug_output(text); }

std::wstring failure_text(const wchar_t* what, const w32_exception& e) {
  return std::wstring(what) + std::to_wstring(e.code) + L"L], " + e.description() + L"\r\n";
}

// The list report of one filter list: its header, then one tab-indented
// line per filter or "<No Entries>".
void report_filters(const wchar_t* header, const std::vector<std::wstring>& filters) {
  std::wstring text = header;
  if (filters.empty()) text += L"<No Entries>\r\n";
  for (const std::wstring& f : filters) text += L"\t" + f + L"\r\n";
  debug(text);
}

// True when the query of the setting `name` ended with `rc` because its
// value file was refused (a FIFO, a device, too large, malformed, not
// readable), as opposed to read or missing; says so on the debugger output.
// A refused setting keeps its current value: reading it as missing would
// turn logging off or down without a word because of one bad file. The
// store has sent the line naming the file and the reason just before.
bool refused(LSTATUS rc, const wchar_t* name) {
  if (rc == 0 || rc == 2 || rc == 234) return false;
  debug(L"logger::read_reg_settings - the value [" + std::wstring(name) + L"] of [HKEY_LOCAL_MACHINE\\" +
        logger::REG_SUBKEY_KRLOGGING + L"] was refused with error [" + std::to_wstring(rc) +
        L"]; the current setting stays\r\n");
  return true;
}

// A DWORD setting: its value; `fallback` when it is missing (or longer than
// four bytes, as the reader's rules have it); nothing when it was refused.
std::optional<DWORD> dword_setting(const RegQuery& key, const wchar_t* name, DWORD fallback) {
  DWORD value = fallback;
  const LSTATUS rc = key.QueryDWORD(name, value);
  if (refused(rc, name)) return std::nullopt;
  return rc == 0 ? value : fallback;
}

}  // namespace

void detail::collect_machine_facts() { singleton<globals>::instance()->initialize(); }

void logger::initialize(const wchar_t* name) {
  // The error mode has no counterpart here: the system shows no error
  // dialogs to a process.
  detail::collect_machine_facts();
  const detail::logger_lock lock(_file->gate());
  if (_monitorThread) {
    save_base_filename(name);
    debug(L"logger::initialize - registry monitoring thread was already started\r\n");
    return;
  }
  // The thread watches the key before the first reading, so a change made
  // at any moment after this call is applied. The reading would create a
  // missing key anyway; creating it first lets the thread watch it at once
  // instead of after its retry period. A failure is the reading's to report.
  try {
    RegQuery key;
    key.Open(HKEY_LOCAL_MACHINE, REG_SUBKEY_KRLOGGING);
  } catch (const w32_exception&) {
  }
  create_registry_monitoring_thread();
  read_regsettings();
  save_base_filename(name);
  log_logsettings(L"registry (initialize)", _logLevel.load());
}

void logger::read_regsettings() {
  const detail::logger_lock lock(_file->gate());
  debug(L"logger::read_reg_settings - will attempt to get log settings from the registry.\r\n");
  try {
    RegQuery key;
    key.Open(HKEY_LOCAL_MACHINE, REG_SUBKEY_KRLOGGING);
    if (const auto enable = dword_setting(key, REG_DWORD_ISENABLED, 0))
      _enabled.exchange(*enable ? 1 : 0);
    DWORD unused = 0;
    if (key.QueryDWORD(REG_DWORD_ISENABLED, unused) == 2) detail::report_logging_off_unset();
    if (_enabled.load() == 0) {
      debug(
          L"logger::read_reg_settings - KR Logging is disabled in the registry, or the registry "
          L"settings were not found\r\n");
      return;
    }
    if (const auto level = dword_setting(key, REG_DWORD_LOGLEVEL, 0))
      _logLevel.exchange(static_cast<log_levels>(*level));
    debug(L"logger::read_reg_settings read the log level settings from the registry. Level: " +
          std::to_wstring(static_cast<DWORD>(_logLevel.load())) + L"\r\n");

    const auto mb = dword_setting(key, REG_DWORD_MAXFILESIZEMB, DEFAULT_MAXFILESIZEMB);
    if (mb && *mb != 0)
      _maxFileSizeInBytes =
          detail::megabytes_to_bytes(*mb, L"logger::read_reg_settings - MaxFileSizeInMB");
    debug(
        L"logger::read_reg_settings read the _maxFileSizeInBytes settings from the registry. "
        L"_maxFileSizeInBytes: " +
        std::to_wstring(_maxFileSizeInBytes) + L"\r\n");

    const auto count =
        dword_setting(key, REG_DWORD_MAXFILESPERPROCESS, DEFAULT_MAXFILESPERPROCESS);
    if (count && static_cast<std::int32_t>(*count) > 0)
      _maxFileCount = static_cast<std::int32_t>(*count);
    debug(
        L"logger::read_reg_settings read the _maxFileCount settings from the registry. "
        L"_maxFileCount: " +
        std::to_wstring(_maxFileCount) + L"\r\n");

    if (const auto options = dword_setting(key, REG_DWORD_LOGOPTIONS, 0))
      set_log_options(*options);
    debug(
        L"logger::read_reg_settings read the _bLogToDebug, _bLogToFile, and _bSimpleFilenames "
        L"settings from the registry. Options: " +
        std::to_wstring(_logOptions.load()) + L"\r\n");

    // The registry owns the filter lists: what other code added goes. A
    // list whose value file was refused stays as it was.
    try {
      const std::vector<std::wstring> include = _includeFilters, exclude = _excludeFilters;
      clear_include_filters();
      clear_exclude_filters();
      if (refused(key.GetMultiString(REG_MULTI_SZ_INCLUDEFILTER, _includeFilters),
                  REG_MULTI_SZ_INCLUDEFILTER))
        _includeFilters = include;
      report_filters(
          L"logger::read_reg_settings read the _includeFilters settings from the registry...\r\n",
          _includeFilters);
      if (refused(key.GetMultiString(REG_MULTI_SZ_EXCLUDEFILTER, _excludeFilters),
                  REG_MULTI_SZ_EXCLUDEFILTER))
        _excludeFilters = exclude;
      report_filters(
          L"logger::read_reg_settings read the _excludeFilters settings from the registry...\r\n",
          _excludeFilters);
    } catch (const w32_exception& e) {
      debug(failure_text(
          L"logger::read_reg_settings failed to read either the include or exclude filter log "
          L"settings from registry with error [",
          e));
    }

    if (!file_logging() && _file->is_open()) {
      try {
        flush_logfile();
      } catch (...) {
      }
      close_logfile();
    }
  } catch (const w32_exception& e) {
    debug(failure_text(
        L"logger::read_reg_settings failed to read log settings from registry with error [", e));
    if (e.code == 2 && _enabled.load() == 0) detail::report_logging_off_unset();
  }
}

void logger::create_registry_monitoring_thread() {
  DWORD id = 0;
  HANDLE thread = detail::create_thread_gated(&logger::logging_monitor_func, this, &id);
  if (!thread)
    throw krException("Logging failed to initialize. Monitoring thread failed to be created.", 4);
  _monitorThread = thread;
  detail::resume_thread(thread);
  // The thread takes no lock before it is ready, so waiting here while
  // the logger's lock is held is safe; a thread that ended early ends the
  // wait too.
  HANDLE until[2] = {_monitorReady, thread};
  WaitForMultipleObjects(2, until, 0, INFINITE);
}

}  // namespace krCore
