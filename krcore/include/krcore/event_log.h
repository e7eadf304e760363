// The event-log writer: EventLogger_t reports events under a source name to
// the system's event log and mirrors them into the process log.
#pragma once

#include <krcore/export.h>
#include <krcore/logger.h>
#include <krcore/wintypes.h>

#include <string>

namespace krCore {

// Reports events under a source name to the system's event log and mirrors
// what it does into the process log. On Linux the event log is the system
// log: registering a source connects a datagram socket to it (/dev/log, or
// the socket named by the environment variable KRCORE_SYSLOG_SOCKET, read at
// registration), and each report is one RFC 3164 datagram of facility
// daemon whose severity follows the event type (error and audit failure:
// err; warning: warning; the others: info), whose tag is the source name
// (characters outside [A-Za-z0-9._-] become '_', at most 32) with the
// process id, and whose text is
//   [source="<name>" type=<T> category=<C> eventid=0x<ID>] <text>
// so that the source, type, category and event identifier reach the log
// unchanged. Registration fails with 2 when the socket does not exist and
// 1722 when nothing listens on it. A report that cannot be sent is retried
// once on a fresh connection; a send waits at most about a second, so a
// stuck log daemon cannot hang the caller (failure 1460).
//
// No operation throws; failures are kept as the last error (a Win32 code)
// and written to the process log at log_error. One object is used by one
// thread at a time. Copy assignment shares the registration: keep only one
// of the copies in use and clear only one (a second Clear of the same
// registration fails with 6).
class KRCORE_API EventLogger_t {
 public:
  using log_levels = logger::log_levels;

  static const std::wstring _AppLogName;       // "Application"
  static const std::wstring _AppErrorLogName;  // "Application Error"
  static const std::wstring _QMILogName;       // "Vantrel Agent"
  static const unsigned short _AppErrorCategory = 100;
  static const unsigned short _AppErrorEventID = 1000;

  // Registers the source `source`, or _AppLogName when it is empty.
  EventLogger_t();
  explicit EventLogger_t(const std::wstring& source);
  // Clear().
  ~EventLogger_t();
  // Both copy the registration and the last error (see the class comment).
  EventLogger_t(const EventLogger_t& other) = default;
  EventLogger_t& operator=(const EventLogger_t& other);

  // Ends the registration, if any; afterwards reports fail with 6.
  void Clear();
  // Reports one event with `text` as its only string. Returns the last
  // error: 0 on success, the registration's failure (or 6) without a
  // registration, else the failure of the send.
  unsigned long ReportEventW(const std::wstring& text, unsigned short type, unsigned short category,
                             unsigned long eventid);
  // Type 4, 2 and 1 with the identifiers 0x40000065, 0x80000066 and
  // 0xC0000067, category 0; the result is dropped.
  void ReportInfo(const std::wstring& text);
  void ReportWarning(const std::wstring& text);
  void ReportError(const std::wstring& text);

  // The process-log level of an event type: 0, 4 and 8 log_normal, 2
  // log_warning, every other type log_error.
  static log_levels GetLogLevel(unsigned short type);

 private:
  HANDLE _hEventLog = nullptr;
  unsigned long _lastError = 0;
};

}  // namespace krCore
