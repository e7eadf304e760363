// The logger: life cycle, the level test, the write step and its outputs.
//
// Everything that reaches an output passes through write(), which runs under
// the logger's lock (the file writer's gate, see logfile_writer.h): build
// the line, test the filters, then the console copy, the file and the
// callback, in that order. Nothing in here throws into a caller; the
// logger's own failures go to the debugger output.
#include <krcore/logging.h>

#include <cstdio>

#include "foundation/compiler.h"
#include "foundation/kill_hold.h"
#include "logging/debug_output.h"
#include "sysutil/environment.h"
#include "logging/log_filter.h"
#include "logging/logfile_writer.h"
#include "logging/logline.h"
#include "foundation/utf.h"

namespace krCore {

KRCORE_LIBRARY_SINGLETON_DEFINITION(logger);

const wchar_t* const logger::pFileNamePattern = L"%s.%'0'4d.log.txt";
const wchar_t* const logger::pfileNewLine = L"\r\n";
const std::wstring logger::sfileNewLine = L"\r\n";
const wchar_t* const logger::REG_SUBKEY_KRLOGGING = L"SOFTWARE\\Vantrel\\Logging";
const wchar_t* const logger::REG_DWORD_ISENABLED = L"Enable";
const wchar_t* const logger::REG_DWORD_LOGLEVEL = L"Level";
const wchar_t* const logger::REG_DWORD_LOGOPTIONS = L"Options";
const wchar_t* const logger::REG_DWORD_MAXFILESIZEMB = L"MaxFileSizeInMB";
const wchar_t* const logger::REG_DWORD_MAXFILESPERPROCESS = L"MaxFilesPerProcess";
const wchar_t* const logger::REG_MULTI_SZ_INCLUDEFILTER = L"IncludeFilter";
const wchar_t* const logger::REG_MULTI_SZ_EXCLUDEFILTER = L"ExcludeFilter";

logger::logger()
    : _maxFileSizeInBytes(static_cast<std::int64_t>(DEFAULT_MAXFILESIZEMB) * 1048576),
      _pid(detail::current_process_id()),
      _file(std::make_unique<detail::log_file_writer>()),
      _lineBuilder(std::make_unique<detail::log_line_builder>(_pid)) {}

logger::~logger() {
  // Before taking the lock: the monitoring thread takes it to apply a change.
  stop_registry_monitoring();
  const detail::logger_lock lock(_file->gate());
  close_logfile();
}

void logger::close() { destroy_instance(); }

bool logger::is_enabled(log_levels level) const {
  if (_enabled.load(std::memory_order_relaxed) == 0) return false;
  // Only the four level bits count; the highest one decides, since an entry
  // passes when any of its bits does and a higher bit admits more.
  unsigned bits = static_cast<unsigned>(level) & 15u;
  if (bits == 0) return false;
  while (bits & (bits - 1)) bits &= bits - 1;
  const unsigned admitted = bits | (bits - 1);
  return (static_cast<unsigned>(_logLevel.load(std::memory_order_relaxed)) & admitted) != 0;
}

void logger::log(log_levels level, const wchar_t* message, bool bypassfilters) {
  if (!message || !is_enabled(level)) return;
  // From the lock to the commit the thread may own the file's I/O.
  const detail::kill_hold holding;
  {
    const detail::logger_lock lock(_file->gate());
    write(message, level, bypassfilters);
    // A lone thread takes the file before it lets go of the lock, which
    // spares it taking the lock again to collect its line.
    _file->claim_own();
  }
  commit_logged_line();
}

void logger::log(log_levels level, const char* message, bool bypassfilters) {
  if (!message || !is_enabled(level)) return;
  try {
    const std::wstring wide = convertstringtowstring(message);
    log(level, wide.c_str(), bypassfilters);
  } catch (const std::exception& e) {
    detail::debug_output(std::string("Unexpected exception caught in logger::write - ") + e.what() +
                         "\r\n");
  }
}

void logger::log(const wchar_t* message, bool bypassfilters) {
  log(log_normal, message, bypassfilters);
}
void logger::log(const std::wstring& message, bool bypassfilters) {
  log(log_normal, message.c_str(), bypassfilters);
}
void logger::log(const std::basic_ostringstream<wchar_t>& message, bool bypassfilters) {
  if (is_enabled(log_normal)) log(log_normal, message.str().c_str(), bypassfilters);
}
void logger::log(const char* message, bool bypassfilters) {
  log(log_normal, message, bypassfilters);
}
void logger::log(const std::string& message, bool bypassfilters) {
  log(log_normal, message.c_str(), bypassfilters);
}

void logger::logverbose(const wchar_t* message, bool bypassfilters) {
  log(log_verbose, message, bypassfilters);
}
void logger::logverbose(const std::wstring& message, bool bypassfilters) {
  log(log_verbose, message.c_str(), bypassfilters);
}
void logger::logverbose(const std::basic_ostringstream<wchar_t>& message, bool bypassfilters) {
  if (is_enabled(log_verbose)) log(log_verbose, message.str().c_str(), bypassfilters);
}
void logger::logverbose(const char* message, bool bypassfilters) {
  log(log_verbose, message, bypassfilters);
}
void logger::logverbose(const std::string& message, bool bypassfilters) {
  log(log_verbose, message.c_str(), bypassfilters);
}

void logger::write(const wchar_t* message, log_levels level, bool bypassfilters) {
  if (_enabled.load() == 0) return;
  try {
    const bool filtered = !bypassfilters && (!_includeFilters.empty() || !_excludeFilters.empty());
    // A file removed or renamed since the last look is replaced before the
    // line is queued, so the line goes to the fresh file.
    if (file_logging() && _file->is_open() && _file->check_due()) check_lost_file();
    // A file keeps the format it was opened with; without one the option says.
    const bool text = _file->is_open() ? _file->utf8_text() : utf8_text_logging();
    _lineBuilder->set_utf8_text(text);
    if (!filtered && !console_logging() && file_logging() && _file->is_open()) {
      // The usual case: the open file is the line's only output, so the
      // line is built straight in the file's encoding.
      write_entry_to_file(message, static_cast<unsigned>(level));
    } else {
      const std::wstring& line = _lineBuilder->build(message, static_cast<unsigned>(level));
      if (filtered && !filter_match(line)) return;
      if (console_logging()) {
        detail::debug_output(line);
        // Best effort: the file and callback still get the line.
        detail::console_write(line);
      }
      if (file_logging()) write_to_file(line);
    }
    if (_writeMessageFunc) _writeMessageFunc(message, level);
  } catch (const std::exception& e) {
    detail::debug_output(std::string("Unexpected exception caught in logger::write - ") + e.what() +
                         "\r\n");
  }
  KRCORE_PASS_THREAD_END
  catch (...) {
    detail::debug_output(
        std::string_view("Unexpected exception caught in logger::write - unknown exception\r\n"));
  }
}

bool logger::filter_match(const std::wstring& line) const {
  return detail::filters_admit(line, _includeFilters, _excludeFilters);
}

void logger::flush() {
  if (!is_enabled() || !file_logging()) return;
  const detail::logger_lock lock(_file->gate());
  flush_logfile();
}

void logger::set_write_message_func(std::function<void(const wchar_t*, log_levels)> func) {
  _writeMessageFunc = std::move(func);
}

void LOG(const std::wstring& text) {
  singleton<logger>::instance()->log(logger::log_normal, text.c_str(), false);
}
void LOGVERBOSE(const std::wstring& text) {
  singleton<logger>::instance()->log(logger::log_verbose, text.c_str(), false);
}
// The narrow forms widen only after the level test passed.
void LOG(const std::string& text) {
  singleton<logger>::instance()->log(logger::log_normal, text.c_str(), false);
}
void LOGVERBOSE(const std::string& text) {
  singleton<logger>::instance()->log(logger::log_verbose, text.c_str(), false);
}

}  // namespace krCore
