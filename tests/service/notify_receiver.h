// A datagram socket standing in for the service manager's notification
// socket in tests: it binds a path under a fresh temporary folder or an
// abstract name, and points $NOTIFY_SOCKET at itself while it lives.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace krtest {

class notify_receiver {
 public:
  explicit notify_receiver(bool abstract) {
    _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string name;
    socklen_t len;
    if (abstract) {
      name = "@qmcore-notify-test-" + std::to_string(::getpid());
      std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
      len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
      char dir[] = "/tmp/notify-XXXXXX";
      _dir = ::mkdtemp(dir);
      name = _dir + "/notify";
      std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
      len = sizeof addr;
    }
    EXPECT_EQ(::bind(_fd, reinterpret_cast<sockaddr*>(&addr), len), 0) << std::strerror(errno);
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~notify_receiver() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(_fd);
    if (!_dir.empty()) {
      ::unlink((_dir + "/notify").c_str());
      ::rmdir(_dir.c_str());
    }
  }
  // The next datagram; empty after a minute without one.
  std::string next() {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, 60000) != 1) return {};
    char buf[4096];
    const ssize_t n = ::recv(_fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  bool nothing_waiting() {
    char buf[16];
    return ::recv(_fd, buf, sizeof buf, MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }

 private:
  int _fd = -1;
  std::string _dir;
};

}  // namespace krtest
