// The logger's file side: where the log files lie and how they are named,
// when a file is opened, closed and replaced, and how old files are shifted
// and pruned. Everything here runs with the logger's lock held, except
// commit_logged_line, which finishes a line after the lock is released.
//
// The logger's own failures go to the debugger output, never into a file.
#include <krcore/logging.h>
#include <krcore/sysutil.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/format.hpp>

#include <stdexcept>

#include "time/clocks.h"
#include "logging/debug_output.h"
#include "logging/loud_failure.h"
#include "sysutil/directories.h"
#include "sysutil/environment.h"
#include "logging/logfile_writer.h"
#include "logging/logline.h"
#include "foundation/utf.h"

namespace krCore {
namespace {

// Clears the logger's enabled flag for a scope and restores it after, also
// when an exception passes: the lookups and folder creation it covers log
// through the logger themselves, and those lines must neither recurse into
// the file logic nor land in a file that is being decided.
class logging_paused {
 public:
  explicit logging_paused(std::atomic<std::int32_t>& enabled)
      : _enabled(enabled), _was(enabled.exchange(0)) {}
  ~logging_paused() { _enabled.store(_was != 0 ? 1 : 0); }
  logging_paused(const logging_paused&) = delete;
  logging_paused& operator=(const logging_paused&) = delete;

 private:
  std::atomic<std::int32_t>& _enabled;
  std::int32_t _was;
};

std::string narrow(const std::wstring& text) { return detail::utf8_from_wide(text); }

void report_and_rethrow(const char* where, const std::exception& e) {
  detail::debug_output(std::string(where) + " caused an exception [" + e.what() +
                       "], will re-throw\r\n");
}

// The folder the default log base lies under. When no application-data
// folder is found (nothing, or a relative value from the environment), the
// base must not become relative: the logs would land under the current
// directory, "/" for a daemon, without a word. The platform's default
// place is used then, and the debugger output says so.
boost::filesystem::path appdata_root() {
  const std::wstring found = GetAppDataDirectory();
  if (detail::path_from_wide(found).is_absolute()) return detail::path_from_wide(found);
  const std::wstring fallback = detail::default_appdata_directory();
  detail::debug_output(L"logger::save_base_filename - no application-data folder was found [" +
                       found + L"]; the log files go under [" + fallback + L"]\r\n");
  return detail::path_from_wide(fallback);
}

}  // namespace

void logger::save_base_filename(const wchar_t* name) {
  const logging_paused paused(_enabled);
  try {
    std::wstring base;
    if (name && *name) {
      base = name;
    } else if (exe_directory_logging()) {
      base = getmodulepath(true);
    } else {
      const boost::filesystem::path exe = detail::path_from_wide(getmodulepath(true));
      base = detail::wide_from_path(appdata_root() / "Vantrel" / "Logs" / exe.stem() /
                                    exe.filename());
    }
    if (pid_unique_filenames_logging())
      base = (boost::wformat(L"%1%.%2%.%3%") % base % detail::clocks().tick_count() % detail::current_process_id()).str();
    _baseFilename = base;
    detail::debug_output(L"logger::save_base_filename : " + _baseFilename + L"\r\n");
  } catch (const std::exception& e) {
    report_and_rethrow("logger::save_base_filename", e);
    throw;
  }
}

std::wstring logger::numbered_filename(int n) const {
  return (boost::wformat(pFileNamePattern) % _baseFilename % n).str();
}

void logger::write_to_file(const std::wstring& line) {
  try {
    const std::wstring* text = &line;
    std::wstring kept;
    if (!_file->is_open()) {
      // The settings report at the head of the new file is built in the
      // buffer `line` refers to: keep the line apart first.
      kept = line;
      text = &kept;
      open_logfile(kept.find(L"QM Logger initialized") == std::wstring::npos);
    }
    if (const unsigned long error = _file->enqueue(*text)) throw w32_exception(error);
    check_file_size();
  } catch (const std::exception& e) {
    report_and_rethrow("logger::write_to_file", e);
    throw;
  }
}

void logger::write_entry_to_file(const wchar_t* message, unsigned level) {
  try {
    const std::wstring_view text(message);
    unsigned long error = 0;
    const bool utf8 = _file->utf8_text();
    char* const begin = _file->begin_line(utf8 ? detail::log_line_builder::utf8_bound(text.size())
                                               : detail::log_line_builder::utf16le_bound(text.size()),
                                          error);
    if (!begin) throw w32_exception(error);
    const unsigned long written =
        _file->end_line(utf8 ? _lineBuilder->build_utf8(text, level, begin)
                             : _lineBuilder->build_utf16le(text, level, begin));
    if (error == 0) error = written;
    if (error != 0) throw w32_exception(error);
    check_file_size();
  } catch (const std::exception& e) {
    report_and_rethrow("logger::write_to_file", e);
    throw;
  }
}

void logger::check_file_size() {
  // The tracked size is exact (the file is ours alone from its first byte):
  // the system is asked only once it crosses the limit, which keeps the
  // check that follows every line to a comparison.
  if (_file->tracked_size() <= static_cast<std::uint64_t>(_maxFileSizeInBytes)) return;
  std::uint64_t size = 0;
  bool unlinked = false;
  if (const unsigned long error = _file->state(size, unlinked)) throw w32_exception(error);
  if (size > static_cast<std::uint64_t>(_maxFileSizeInBytes)) {
    detail::debug_output(std::string_view(
        "logger::write_to_file - current log file has reached the maximum size, closing...\r\n"));
    close_logfile();
  }
}

void logger::check_lost_file() {
  // Asked once per check interval (the caller asks check_due), before a
  // line is queued: a file removed or renamed under us since the last look
  // is replaced first, so the line goes to the fresh file, and so do the
  // lines the removed file took with it since that look.
  if (_file->take_limit_reached()) {
    // The line that met the limit was dropped (and reported); the next
    // ones go to a fresh file.
    close_logfile();
    open_logfile(true);
    return;
  }
  std::string carried;
  if (!_file->lost_name(carried)) return;
  detail::debug_output(std::string_view(
      "logger::write_to_file - current log file was removed or renamed, opening a new one...\r\n"));
  close_logfile();
  open_logfile(true);
  if (!carried.empty())
    if (const unsigned long error = _file->write_raw(carried)) throw w32_exception(error);
}

void logger::open_logfile(bool reportsettings) {
  try {
    // Pausing drops the entries of every other thread for that moment. In
    // a folder that exists, the creation would make nothing and its lines
    // would be dropped anyway, so a rotation skips both and loses no line.
    const boost::filesystem::path folder = detail::path_from_wide(_baseFilename).parent_path();
    boost::system::error_code ignored;
    if (!boost::filesystem::is_directory(folder, ignored)) {
      const logging_paused paused(_enabled);
      CreateDirectories(folder);
    }
    // Every step of this rotation works in the folder as it is opened here
    // (see log_folder): a name swapped meanwhile leads nowhere else.
    detail::log_folder& files = _file->folder();
    std::string why;
    if (const unsigned long error = files.open_for(_baseFilename, why)) {
      detail::debug_output("logger::open_logfile - " + why + "\r\n");
      detail::report_log_unopened(numbered_filename(1), error);
      throw w32_exception(error);
    }
    std::wstring path;
    // A current file that could not be shifted up keeps its lines: the new
    // ones are appended to it.
    bool keep_content = false;
    if (pid_unique_filenames_logging()) {
      do {
        path = numbered_filename(_nextFileNumber++);
      } while (files.exists(path));
    } else {
      path = numbered_filename(1);
      if (files.exists(path)) keep_content = !rename_file_for_backup(1);
    }
    _file->set_utf8_text(utf8_text_logging());
    if (const unsigned long error = _file->open(path, file_write_through_logging(), keep_content)) {
      detail::report_log_unopened(path, error);
      throw w32_exception(error);
    }
    detail::report_log_opened();
    if (!_file->is_open()) throw std::runtime_error("unable to create new log file");
    if (reportsettings) log_logsettings(L"open log file", _logLevel.load());

    _createdFiles.push_back(path);
    while (_createdFiles.size() > static_cast<std::size_t>(_maxFileCount)) {
      const unsigned long error = files.remove_unlocked(_createdFiles.front(), _file->identity());
      // A file someone else removed already counts as pruned.
      if (error != 0 && error != 2) {
        detail::debug_output(
            "logger::open_logfile - the maximum configured number of log files has been "
            "reached, but file " +
            narrow(_createdFiles.front()) + "] couldn't not be deleted. Error was [" +
            geterrormessage_shortstring(error) + "].\r\n");
        break;
      }
      _createdFiles.pop_front();
    }
  } catch (const std::exception& e) {
    report_and_rethrow("logger::open_logfile", e);
    throw;
  }
}

bool logger::rename_file_for_backup(int n) {
  // The run of files above n that exist moves up by one, the highest first
  // so that nothing is overwritten; one at the configured count goes. A
  // loop, not a recursion: the run may be tens of thousands of files long.
  const detail::log_folder& files = _file->folder();
  int top = n;
  while (top < _maxFileCount && files.exists(numbered_filename(top + 1))) ++top;
  if (top >= _maxFileCount) {
    const std::wstring last = numbered_filename(top);
    if (const unsigned long error = files.remove_unlocked(last, _file->identity())) {
      detail::debug_output(
          "logger::rename_file_for_backup - the maximum configured number of log files has been "
          "reached, but file " +
          narrow(last) + "] couldn't not be deleted. Error was [" +
          geterrormessage_shortstring(error) + "].\r\n");
      return false;
    }
    --top;
  }
  for (int k = top; k >= n; --k) {
    const std::wstring from = numbered_filename(k);
    const std::wstring to = numbered_filename(k + 1);
    if (const unsigned long error = files.rename_unlocked(from, to, _file->identity())) {
      detail::debug_output("logger::rename_file_for_backup - could not rename [" + narrow(from) +
                           "] to [" + narrow(to) + "]. Error was [" +
                           geterrormessage_shortstring(error) + "].\r\n");
      return false;
    }
  }
  return true;
}

void logger::flush_logfile() { _file->flush(); }

void logger::close_logfile() {
  if (const unsigned long error = _file->close())
    detail::debug_output(std::string("Unexpected exception caught in logger::write - ") +
                         w32_exception(error).what() + "\r\n");
}

void logger::commit_logged_line() {
  if (const unsigned long error = _file->commit_own())
    detail::debug_output(std::string("Unexpected exception caught in logger::write - ") +
                         w32_exception(error).what() + "\r\n");
}

}  // namespace krCore
