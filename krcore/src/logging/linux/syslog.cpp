// The system log's datagram socket on Linux (see syslog.h).
#include "logging/linux/syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/process_calls.h"
#include "foundation/kill_hold.h"
#include "time/filetime.h"

namespace krCore::detail {
namespace {

// How long one send waits for room at a receiver that does not read.
constexpr long kSendTimeoutMs = 1000;

// The Win32 code of a failed connect or send. Two failures have meanings of
// their own here: a socket file that nobody listens on is the event-log
// service being unavailable, and a send time-out is a time-out, not the
// "would block" that EAGAIN means elsewhere.
unsigned long socket_error(int err) {
  switch (err) {
    case ECONNREFUSED:
      return kRpcServerUnavailable;
    case EAGAIN:
      return kErrorTimeout;
    default:
      return win32_from_errno(err);
  }
}

bool tag_char(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
         c == L'.' || c == L'_' || c == L'-';
}

}  // namespace

std::string syslog_socket_path() {
  const char* path = library_setting("KRCORE_SYSLOG_SOCKET");
  return path && *path ? std::string(path) : std::string("/dev/log");
}

std::string syslog_tag(std::wstring_view source) {
  constexpr std::size_t kMaxTag = 32;  // RFC 3164's limit
  std::string tag;
  for (wchar_t c : source.substr(0, kMaxTag))
    tag.push_back(tag_char(c) ? static_cast<char>(c) : '_');
  return tag;
}

std::string syslog_datagram(int facility, int severity, const std::string& tag, long pid,
                            std::string_view message) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SYSTEMTIME now{};
  get_local_time(now);
  char head[64];
  std::snprintf(head, sizeof head, "<%d>%s %2u %02u:%02u:%02u ", facility * 8 + severity,
                kMonths[(now.wMonth + 11) % 12], now.wDay, now.wHour, now.wMinute, now.wSecond);
  std::string datagram(head);
  datagram += tag;
  datagram += '[' + std::to_string(pid) + "]: ";
  datagram.append(message);
  return datagram;
}

syslog_connection::~syslog_connection() { close_locked(); }

unsigned long syslog_connection::connect() {
  std::lock_guard<library_mutex> lock(_mutex);
  return connect_locked();
}

unsigned long syslog_connection::send(std::string_view datagram) {
  std::lock_guard<library_mutex> lock(_mutex);
  if (_fd >= 0 && send_once(datagram) == 0) return 0;
  // Not connected, or the daemon restarted (its socket was replaced) or is
  // stuck: one more attempt on a fresh connection.
  unsigned long error = connect_locked();
  if (error == 0) error = send_once(datagram);
  return error;
}

unsigned long syslog_connection::connect_locked() {
  close_locked();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (_path.size() >= sizeof address.sun_path) return win32_from_errno(ENAMETOOLONG);
  std::memcpy(address.sun_path, _path.c_str(), _path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_errno_as_win32();
  const timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    ::close(fd);
    return socket_error(err);
  }
  _fd = fd;
  return 0;
}

unsigned long syslog_connection::send_once(std::string_view datagram) {
  for (;;) {
    if (::send(_fd, datagram.data(), datagram.size(), MSG_NOSIGNAL) >= 0) return 0;
    if (errno != EINTR) return socket_error(errno);
  }
}

void syslog_connection::close_locked() {
  if (_fd >= 0) ::close(_fd);
  _fd = -1;
}

}  // namespace krCore::detail
