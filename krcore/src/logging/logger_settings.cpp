// The logger's programmatic start, its setters and its filter lists.
//
// Every setter that changes something writes the settings report with the
// source "property change", so a log always shows the settings its lines
// were written under.
#include <krcore/logging.h>

#include <boost/algorithm/string/predicate.hpp>
#include <locale>
#include <stdexcept>

#include "logging/debug_output.h"
#include "logging/logfile_writer.h"
#include "logging/logger_config.h"

namespace krCore {
namespace {

const wchar_t* const kPropertyChange = L"property change";

using detail::megabytes_to_bytes;

}  // namespace

std::int64_t detail::megabytes_to_bytes(std::uint64_t mb, const wchar_t* source) {
  if (mb > kMaxFileSizeMB) {
    debug_output(std::wstring(source) + L" - a log file size limit of [" + std::to_wstring(mb) +
                 L"] MB does not fit the 32-bit byte count; [" + std::to_wstring(kMaxFileSizeMB) +
                 L"] MB is used\r\n");
    mb = kMaxFileSizeMB;
  }
  return static_cast<std::int64_t>(mb) * 1048576;
}

void logger::initialize(int options, int level, int maxfilesizemb, int maxfiles,
                        const wchar_t* name) {
  detail::collect_machine_facts();
  const detail::logger_lock lock(_file->gate());
  _enabled.exchange(1);
  _logLevel.exchange(static_cast<log_levels>(level));
  _logOptions.exchange(static_cast<std::uint32_t>(options));
  save_base_filename(name);
  if (maxfilesizemb > 0)
    _maxFileSizeInBytes =
        megabytes_to_bytes(static_cast<std::uint64_t>(maxfilesizemb), L"logger::initialize");
  if (maxfiles > 0) _maxFileCount = maxfiles;
  log_logsettings(L"parameters (initialize)", _logLevel.load());
}

void logger::set_base_filename(const wchar_t* name) {
  const detail::logger_lock lock(_file->gate());
  save_base_filename(name);
}

void logger::set_base_filename(const std::wstring& name) {
  set_base_filename(name.empty() ? nullptr : name.c_str());
}

void logger::set_enabled(bool enabled) {
  const std::int32_t value = enabled ? 1 : 0;
  if (_enabled.exchange(value) == value) return;
  const detail::logger_lock lock(_file->gate());
  log_logsettings(kPropertyChange, _logLevel.load());
  if (!enabled) close_logfile();
}

void logger::set_log_levels(log_levels level) {
  if (_logLevel.exchange(level) == level) return;
  log_logsettings(kPropertyChange, level);
}

void logger::set_log_options(unsigned long options) {
  const auto value = static_cast<std::uint32_t>(options);
  const std::uint32_t old = _logOptions.exchange(value);
  if (old == value) return;
  log_logsettings(kPropertyChange, log_verbose);
  if ((old & 0x1) && !(value & 0x1)) {
    const detail::logger_lock lock(_file->gate());
    close_logfile();
  } else if (!(old & 0x10000) && (value & 0x10000)) {
    // Write-through applies from the next file; what the open file holds
    // so far is pushed out now.
    const detail::logger_lock lock(_file->gate());
    flush_logfile();
  }
}

void logger::set_max_logfiles_per_process(int n) {
  const detail::logger_lock lock(_file->gate());
  if (n < 1) throw std::invalid_argument("max logfiles must be at least 1");
  if (n == _maxFileCount) return;
  _maxFileCount = n;
  log_logsettings(kPropertyChange, log_verbose);
}

void logger::set_max_filesize(int mb) {
  const detail::logger_lock lock(_file->gate());
  if (mb < 1) throw std::invalid_argument("log filesize limit must be at least 1MB");
  const std::int64_t bytes =
      megabytes_to_bytes(static_cast<std::uint64_t>(mb), L"logger::set_max_filesize");
  if (bytes == _maxFileSizeInBytes) return;
  _maxFileSizeInBytes = bytes;
  log_logsettings(kPropertyChange, log_verbose);
}

int logger::max_logfiles_per_process() const {
  const detail::logger_lock lock(_file->gate());
  return _maxFileCount;
}

int logger::max_filesize() const {
  const detail::logger_lock lock(_file->gate());
  return static_cast<int>(_maxFileSizeInBytes / 1048576);
}

void logger::add_filter(std::vector<std::wstring>& list, const std::wstring& filter) {
  const detail::logger_lock lock(_file->gate());
  const std::locale locale;
  for (const std::wstring& existing : list)
    if (boost::algorithm::iequals(existing, filter, locale)) return;
  list.push_back(filter);
  log_logsettings(kPropertyChange, log_verbose);
}

void logger::clear_filters(std::vector<std::wstring>& list) {
  const detail::logger_lock lock(_file->gate());
  if (list.empty()) return;
  list.clear();
  log_logsettings(kPropertyChange, log_verbose);
}

void logger::add_include_filter(const std::wstring& filter) { add_filter(_includeFilters, filter); }
void logger::add_exclude_filter(const std::wstring& filter) { add_filter(_excludeFilters, filter); }
void logger::clear_include_filters() { clear_filters(_includeFilters); }
void logger::clear_exclude_filters() { clear_filters(_excludeFilters); }

}  // namespace krCore
