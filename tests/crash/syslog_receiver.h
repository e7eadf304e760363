// Test support: a private folder, a datagram socket bound in it that plays
// the system log, and the environment variable that points the library's
// event logger at it.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>

namespace crashtest {

// A fresh folder under the system's temporary directory, removed with its
// contents at the end.
class temp_folder {
 public:
  temp_folder() {
    char pattern[] = "/tmp/qmcore-crash-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    _path = made ? made : "/tmp";
  }
  ~temp_folder() { std::system(("rm -rf '" + _path + "'").c_str()); }
  const std::string& path() const { return _path; }

 private:
  std::string _path;
};

// Points the event logger at `path` while it lives.
class syslog_socket_env {
 public:
  explicit syslog_socket_env(const std::string& path) {
    ::setenv("KRCORE_SYSLOG_SOCKET", path.c_str(), 1);
  }
  ~syslog_socket_env() { ::unsetenv("KRCORE_SYSLOG_SOCKET"); }
};

// A datagram socket bound at a path: what the system log daemon would hold.
class syslog_receiver {
 public:
  explicit syslog_receiver(const std::string& path) : _path(path) { bind(); }
  ~syslog_receiver() { close(); }

  // Ends the receiver the way a daemon that dies does: the socket file stays.
  void close() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }
  // A restarted daemon: the old socket file replaced by a new socket.
  void rebind() {
    close();
    ::unlink(_path.c_str());
    bind();
  }

  // The next datagram, or nothing when none arrives within `timeout_ms`.
  std::optional<std::string> receive(int timeout_ms = 30000) {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    std::string buffer(256 * 1024, '\0');
    const ssize_t n = ::recv(_fd, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }

 private:
  void bind() {
    _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, _path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
  }

  std::string _path;
  int _fd = -1;
};

// The parts of an RFC 3164 datagram as the library sends it to the local
// log, "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE": the priority ("<27>") and
// what follows the time stamp; both empty when the head has another form.
struct datagram_parts {
  std::string priority;
  std::string rest;
};

inline datagram_parts split_datagram(const std::string& d) {
  static const std::regex head(
      R"(^(<\d+>)(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3]\d \d\d:\d\d:\d\d )");
  const std::string start = d.substr(0, 32);  // the head only: keeps the regex short
  std::smatch m;
  if (!std::regex_search(start, m, head)) return {};
  return {m[1], d.substr(static_cast<size_t>(m.length(0)))};
}

}  // namespace crashtest
