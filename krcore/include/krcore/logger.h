// The process-wide logger, the command-line set-up of it and the plain LOG
// calls.
//
// One `logger` per process, reached through singleton<logger>::instance().
// An entry that passes the level test is prefixed with local date and time,
// process and thread id and a level tag, and sent, as the option bits say,
// to the debugger output and standard output, to the log file, and to an
// optional callback. A logger nobody initialised drops everything.
#pragma once

#include <krcore/export.h>
#include <krcore/singleton.h>
#include <krcore/sync.h>
#include <krcore/wintypes.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <source_location>
#include <sstream>
#include <string>
#include <vector>

namespace krCore {

namespace detail {
class log_line_builder;
class log_file_writer;
}  // namespace detail

class CommandLineArgs;

class logger;
KRCORE_LIBRARY_SINGLETON(logger);

// The process-wide logger.
//
// Thread-safety: every operation may be called from any thread. Writing,
// the filter lists, the file limits and the base file name are serialised by
// one recursive lock; level, options and the enabled flag are read without
// it and replaced atomically, so a change applies between two entries.
// Logging never throws into its caller: a failure inside the logger is
// reported on the debugger output and the entry is dropped.
// Lifetime: created disabled by the first instance(); close() destroys it,
// after which instance() creates a fresh, disabled logger. close() must not
// race with threads still using the old instance.
class KRCORE_API logger : public singleton<logger> {
  friend class singleton<logger>;

 public:
  // One bit per level. An entry carries one bit; the configured level is a
  // threshold bit: an entry passes when the configured level has a bit at or
  // below the entry's bit (0 lets nothing through).
  enum log_levels { log_verbose = 1, log_normal = 2, log_warning = 4, log_error = 8 };

  static constexpr int DEFAULT_MAXFILESIZEMB = 15;
  static constexpr int DEFAULT_MAXFILESPERPROCESS = 10;
  static const wchar_t* const pFileNamePattern;  // "%s.%'0'4d.log.txt"
  static const wchar_t* const pfileNewLine;      // "\r\n"
  static const std::wstring sfileNewLine;        // "\r\n"
  static const wchar_t* const REG_SUBKEY_KRLOGGING;
  static const wchar_t* const REG_DWORD_ISENABLED;
  static const wchar_t* const REG_DWORD_LOGLEVEL;
  static const wchar_t* const REG_DWORD_LOGOPTIONS;
  static const wchar_t* const REG_DWORD_MAXFILESIZEMB;
  static const wchar_t* const REG_DWORD_MAXFILESPERPROCESS;
  static const wchar_t* const REG_MULTI_SZ_INCLUDEFILTER;
  static const wchar_t* const REG_MULTI_SZ_EXCLUDEFILTER;

  ~logger() override;

  // Destroys the current instance under the singleton's lock.
  static void close();

  // --- Initialisation (both hold the logger's lock for their whole run) ---

  // The start from the machine's logging configuration: the registry key
  // HKEY_LOCAL_MACHINE\SOFTWARE\Vantrel\Logging (see registry.h). The first
  // call reads the key, saves `name` (may be null: the default location) as
  // the base file name, writes the settings report and starts the thread
  // that re-reads the key at every change of it, until the logger is
  // destroyed. Later calls only save the name. A missing key, or "Enable"
  // missing or 0, leaves the logger disabled (until the key says otherwise).
  // Throws krException when the thread cannot be started.
  void initialize(const wchar_t* name);
  // The programmatic start: enables the logger with the given option bits and
  // level; a positive size limit (MB; above 4095 it is cut to 4095, with a
  // line to the debugger output) and file count replace the current ones;
  // `name` as above. Writes the settings report.
  void initialize(int options, int level, int maxfilesizemb, int maxfiles, const wchar_t* name);
  // Saves a new base file name under the lock; an empty text means null.
  void set_base_filename(const wchar_t* name);
  void set_base_filename(const std::wstring& name);

  // --- Writing (never throws; a null message is ignored) ---

  // One entry of `level`; `bypassfilters` true skips the filters.
  void log(log_levels level, const wchar_t* message, bool bypassfilters = false);
  // Narrow text is UTF-8 and is widened only after the level test passed.
  void log(log_levels level, const char* message, bool bypassfilters = false);
  // One entry that names the place in the program that wrote it
  // (`std::source_location::current()`): the journal's copy (option 0x40)
  // carries it as CODE_FILE, CODE_LINE and CODE_FUNC; the other outputs are
  // those of log(level, message, bypassfilters). `where` is read during the
  // call only.
  void log(log_levels level, const wchar_t* message, const std::source_location& where,
           bool bypassfilters = false);
  // Short forms at log_normal.
  void log(const wchar_t* message, bool bypassfilters = false);
  void log(const std::wstring& message, bool bypassfilters = false);
  void log(const std::basic_ostringstream<wchar_t>& message, bool bypassfilters = false);
  void log(const char* message, bool bypassfilters = false);
  void log(const std::string& message, bool bypassfilters = false);
  // Short forms at log_verbose.
  void logverbose(const wchar_t* message, bool bypassfilters = false);
  void logverbose(const std::wstring& message, bool bypassfilters = false);
  void logverbose(const std::basic_ostringstream<wchar_t>& message, bool bypassfilters = false);
  void logverbose(const char* message, bool bypassfilters = false);
  void logverbose(const std::string& message, bool bypassfilters = false);

  // True when the logger is enabled and admits an entry of `level` (an entry
  // value with several bits passes when any of them does). Lock-free.
  bool is_enabled(log_levels level) const;
  // Writes the open log file's buffers to disk when file logging is on;
  // failures are ignored.
  void flush();
  // Installs the callback that receives the bare message and level of every
  // written entry, after the other outputs. Takes no lock: install it before
  // other threads log. The callback runs with the logger's lock held.
  void set_write_message_func(std::function<void(const wchar_t*, log_levels)> func);

  // --- Settings (each change writes the settings report) ---

  void set_enabled(bool enabled);
  void set_log_levels(log_levels level);
  // Bits: 0x1 file, 0x2 debugger output and standard output, 0x4 process-
  // unique file names, 0x8 default location beside the executable,
  // 0x10000 write-through files; 0x20 text for Linux tools: UTF-8 without a
  // byte-order mark, LF line ends, ISO-8601 times with the zone and each
  // entry on one line (its own line breaks shown as " | "), decided when a
  // file opens; 0x40 a copy of each entry to the system journal (Linux:
  // journald's native socket; the level as its priority), beside the other
  // outputs and best effort: an entry the journal cannot take at once is
  // dropped there, counted and said once, never waited for.
  void set_log_options(unsigned long options);
  // Throws std::invalid_argument("max logfiles must be at least 1") for n < 1.
  void set_max_logfiles_per_process(int n);
  // Throws std::invalid_argument("log filesize limit must be at least 1MB")
  // for mb < 1; a limit above 4095 MB is cut to 4095 (the limit is a 32-bit
  // byte count), with a line to the debugger output.
  void set_max_filesize(int mb);
  int max_logfiles_per_process() const;
  int max_filesize() const;
  // Appends a filter unless the list holds it already (ignoring case). A line
  // is written when it contains an include filter (if there are any) and no
  // exclude filter, compared ignoring case over the whole line, prefix too.
  void add_include_filter(const std::wstring& filter);
  void add_exclude_filter(const std::wstring& filter);
  void clear_include_filters();
  void clear_exclude_filters();

  // --- Accessors (lock-free) ---

  bool is_enabled() const { return _enabled.load() != 0; }
  log_levels log_level() const { return _logLevel.load(); }
  int log_options() const { return static_cast<int>(_logOptions.load()); }
  bool file_logging() const { return (_logOptions.load() & 0x1) != 0; }
  bool console_logging() const { return (_logOptions.load() & 0x2) != 0; }
  bool pid_unique_filenames_logging() const { return (_logOptions.load() & 0x4) != 0; }
  bool exe_directory_logging() const { return (_logOptions.load() & 0x8) != 0; }
  bool file_write_through_logging() const { return (_logOptions.load() & 0x10000) != 0; }
  bool utf8_text_logging() const { return (_logOptions.load() & 0x20) != 0; }
  bool journal_logging() const { return (_logOptions.load() & 0x40) != 0; }

 private:
  static constexpr int _bufsize = 4096;

  logger();

  // The write step; the logger's lock is held.
  void write(const wchar_t* message, log_levels level, bool bypassfilters);
  bool filter_match(const std::wstring& line) const;
  // The settings report, written as one entry of `level` that bypasses the
  // filters; `source` names what caused it.
  void log_logsettings(const wchar_t* source, log_levels level);
  void add_filter(std::vector<std::wstring>& list, const std::wstring& filter);
  void clear_filters(std::vector<std::wstring>& list);

  // The registry side: reads the key into the settings (diagnostics on the
  // debugger output, failures never thrown), starts the thread that
  // watches it, and the thread's body (argument: the logger).
  void read_regsettings();
  void create_registry_monitoring_thread();
  static unsigned logging_monitor_func(void* param);
  // Signals `_shutdownEvent` and waits for the monitoring thread, if any.
  void stop_registry_monitoring();

  // The file side; the logger's lock is held.
  void save_base_filename(const wchar_t* name);
  void write_to_file(const std::wstring& line);
  // write_to_file for an entry whose line goes to the open file alone: the
  // line is built straight in the file's encoding.
  void write_entry_to_file(const wchar_t* message, unsigned level);
  // After a line: closes the file once it grew beyond the limit.
  void check_file_size();
  // Before a line, once per check interval: replaces a file that was
  // removed or renamed under the writer.
  void check_lost_file();
  void open_logfile(bool reportsettings);
  bool rename_file_for_backup(int n);
  std::wstring numbered_filename(int n) const;
  void flush_logfile();
  void close_logfile();
  // Called after the logger's lock is released: returns once the line this
  // thread just wrote is in the kernel's hands (see log_file_writer).
  void commit_logged_line();

  std::atomic<log_levels> _logLevel{log_normal};
  std::atomic<std::uint32_t> _logOptions{0};
  std::atomic<std::int32_t> _enabled{0};
  std::atomic<std::int32_t> _settingsEntry{0};
  int _maxFileCount = DEFAULT_MAXFILESPERPROCESS;
  std::int64_t _maxFileSizeInBytes;
  std::vector<std::wstring> _includeFilters;
  std::vector<std::wstring> _excludeFilters;
  unsigned long _pid;
  std::wstring _baseFilename;
  // The open log file, if any; created with the logger and kept for its
  // whole life, so a thread may finish its line after the lock is released.
  std::unique_ptr<detail::log_file_writer> _file;
  int _nextFileNumber = 1;
  std::deque<std::wstring> _createdFiles;
  std::function<void(const wchar_t*, log_levels)> _writeMessageFunc;
  // Formats the line prefix and holds the line buffer reused by every entry.
  std::unique_ptr<detail::log_line_builder> _lineBuilder;
  mutable critical_section _cs;  // kept for the layout; the lock is _file's
  // Stops the monitoring thread; the thread's handle, null until started.
  manualresetevent _shutdownEvent;
  HANDLE _monitorThread = nullptr;
  // Signalled by the monitoring thread once it watches the key (or found
  // it missing), so that no change made after the start goes unseen.
  manualresetevent _monitorReady;
};

// Configures the process's logger from a command line:
//   loglevel=N      level N (values above 15 become 15), options from
//                   logtype=N (default 1, file only): the programmatic start;
//   /logfile        without loglevel: level 3 to the file (options 1, or
//                   0x10001 with /filewritethrough);
//   neither         the registry-driven start (logger::initialize(name));
//   logfilename=B   base file name (default location when absent);
//   logfilesize=MB  size limit (default 30), logfilesnum=N files (default 10);
//   /debugbreak     first shows a message box that waits until a debugger
//                   is attached and the box is answered.
// A number that is not decimal throws boost::bad_lexical_cast. Thread-safe
// as the logger's own calls, though a process configures its logger once,
// at start.
KRCORE_API void LogInitialize(const CommandLineArgs& args);

// Writes `text` at log_normal / log_verbose through the current logger.
// Narrow text is widened with convertstringtowstring. Never throw.
// Thread-safe.
KRCORE_API void LOG(const std::wstring& text);
KRCORE_API void LOG(const std::string& text);
KRCORE_API void LOGVERBOSE(const std::wstring& text);
KRCORE_API void LOGVERBOSE(const std::string& text);

}  // namespace krCore
