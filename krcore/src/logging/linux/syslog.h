// Internal (Linux): one connection to the system log's datagram socket and
// the RFC 3164 form of the datagrams sent over it.
//
// The C library's openlog/syslog are not used: their identity is one per
// process and they drop messages silently, while the event logger needs one
// identity per source and a failure it can report.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "foundation/internal.h"
#include "foundation/kill_hold.h"

namespace krCore::detail {

// Severities and the facility of RFC 3164 used here.
enum : int { kSyslogErr = 3, kSyslogWarning = 4, kSyslogInfo = 6 };
constexpr int kSyslogFacilityDaemon = 3;

// The socket the system log listens on: $KRCORE_SYSLOG_SOCKET when set and
// not empty, else /dev/log.
KRCORE_INTERNAL std::string syslog_socket_path();

// The tag of a source name: characters outside [A-Za-z0-9._-] become '_',
// at most 32 characters.
KRCORE_INTERNAL std::string syslog_tag(std::wstring_view source);

// One datagram: "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE", the time local.
KRCORE_INTERNAL std::string syslog_datagram(int facility, int severity, const std::string& tag,
                                            long pid, std::string_view message);

// A connected datagram socket to the system log. Thread-safe: sends are
// serialised, so a reconnect never races a send on the same connection.
class KRCORE_INTERNAL syslog_connection {
 public:
  explicit syslog_connection(std::string path) : _path(std::move(path)) {}
  ~syslog_connection();
  syslog_connection(const syslog_connection&) = delete;
  syslog_connection& operator=(const syslog_connection&) = delete;

  // Connects; 0, 2 (no such socket), 1722 (nobody listens) or another
  // Win32 code.
  unsigned long connect();
  // Sends one datagram; on failure reconnects and sends once more. Each
  // attempt waits at most about a second for room at the receiver (1460).
  unsigned long send(std::string_view datagram);

 private:
  unsigned long connect_locked();
  unsigned long send_once(std::string_view datagram);
  void close_locked();

  const std::string _path;
  library_mutex _mutex;
  int _fd = -1;
};

}  // namespace krCore::detail
