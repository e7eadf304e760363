// Running as a service on Linux (see service.h): SIGTERM and SIGINT taken by
// a self-pipe handler, and the notification protocol of the service manager
// spoken directly: one datagram of "NAME=value" lines to the AF_UNIX socket
// in $NOTIFY_SOCKET, no client library needed.
//
// The handler does two async-signal-safe things: it records the signal in a
// lock-free atomic and writes one byte to a non-blocking pipe (a full pipe
// loses only a wake-up, never the recorded request). No lock is involved, so
// a thread ended at any moment, a fork or a second signal cannot leave one
// held.
#include <krcore/exceptions.h>
#include <krcore/service.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/errors.h"

namespace krCore {
namespace {

constexpr unsigned long kErrorNotSupported = 50;
constexpr unsigned long kErrorBadPathname = 161;

std::atomic<int> g_read_fd{-1};
std::atomic<int> g_write_fd{-1};
std::atomic<int> g_pending{0};  // the last stop signal not yet returned
std::atomic<bool> g_alive{false};
struct sigaction g_old_term;
struct sigaction g_old_int;

static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int sig) {
  const int saved = errno;
  g_pending.store(sig);
  const int fd = g_write_fd.load();
  if (fd >= 0) {
    const char byte = static_cast<char>(sig);
    (void)!::write(fd, &byte, 1);
  }
  errno = saved;
}

void drain(int fd) {
  char buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

// Milliseconds since an arbitrary start, for the waits' deadlines.
std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

unsigned long service_notify(std::string_view message) noexcept {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || !*name) return kErrorNotSupported;
  const std::size_t len = std::strlen(name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (len >= sizeof addr.sun_path) return kErrorBadPathname;
  std::memcpy(addr.sun_path, name, len);
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1);
  if (name[0] == '@') {  // an abstract name: no terminating NUL counts
    addr.sun_path[0] = '\0';
    addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  } else if (name[0] != '/') {
    return kErrorBadPathname;
  }
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return detail::last_errno_as_win32();
  const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&addr), addr_len);
  const unsigned long result =
      sent == static_cast<ssize_t>(message.size()) ? 0 : detail::last_errno_as_win32();
  ::close(fd);
  return result;
}

std::uint64_t service_watchdog_usec() noexcept {
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid && *pid) {
    char* end = nullptr;
    const long long value = std::strtoll(pid, &end, 10);
    if (*end || value != static_cast<long long>(::getpid())) return 0;
  }
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || *usec < '0' || *usec > '9') return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(usec, &end, 10);
  return *end ? 0 : value;
}

service_host::service_host() {
  if (g_alive.exchange(true))
    throw krException(static_cast<unsigned long>(detail::kErrorAlreadyExists),
                      "service_host: another one is alive in this process", 1);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    const unsigned long code = detail::last_errno_as_win32();
    g_alive.store(false);
    throw krException(code, "service_host: no pipe for the stop signals", 1);
  }
  g_read_fd.store(fds[0]);
  g_write_fd.store(fds[1]);
  g_pending.store(0);
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGTERM, &action, &g_old_term) != 0 ||
      ::sigaction(SIGINT, &action, &g_old_int) != 0) {
    const unsigned long code = detail::last_errno_as_win32();
    ::sigaction(SIGTERM, &g_old_term, nullptr);
    g_write_fd.store(-1);
    ::close(fds[0]);
    ::close(fds[1]);
    g_alive.store(false);
    throw krException(code, "service_host: the stop signals cannot be caught", 1);
  }
}

service_host::~service_host() {
  ::sigaction(SIGTERM, &g_old_term, nullptr);
  ::sigaction(SIGINT, &g_old_int, nullptr);
  ::close(g_write_fd.exchange(-1));
  ::close(g_read_fd.exchange(-1));
  g_alive.store(false);
}

int service_host::wait_for_stop(double timeout_s) noexcept {
  const int fd = g_read_fd.load();
  const std::uint64_t watchdog_us = service_watchdog_usec();
  const std::int64_t feed_every_ms =
      watchdog_us ? static_cast<std::int64_t>(watchdog_us / 2000 ? watchdog_us / 2000 : 1) : -1;
  const std::int64_t start = now_ms();
  const std::int64_t deadline =
      timeout_s > 0 ? start + static_cast<std::int64_t>(timeout_s * 1000.0) : -1;
  std::int64_t next_feed = start;
  for (;;) {
    const int sig = g_pending.exchange(0);
    if (sig) {
      drain(fd);
      return sig;
    }
    const std::int64_t now = now_ms();
    if (feed_every_ms > 0 && now >= next_feed) {
      bool healthy = true;
      if (_health) {
        try {
          healthy = _health();
        } catch (...) {
          healthy = false;
        }
      }
      if (healthy) (void)service_notify("WATCHDOG=1");
      next_feed = now + feed_every_ms;
    }
    if (deadline >= 0 && now >= deadline) return 0;
    std::int64_t wait = -1;
    if (deadline >= 0) wait = deadline - now;
    if (feed_every_ms > 0 && (wait < 0 || next_feed - now < wait)) wait = next_feed - now;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait < 0 ? -1 : wait > 86400000 ? 86400000 : wait)) > 0)
      drain(fd);
  }
}

bool service_host::stop_requested() const noexcept { return g_pending.load() != 0; }

void service_host::set_health_check(std::function<bool()> check) { _health = std::move(check); }

namespace {
unsigned long with_status(const char* first, std::string_view text) noexcept {
  try {
    std::string message(first);
    if (!text.empty()) message.append("\nSTATUS=").append(text);
    return service_notify(message);
  } catch (...) {
    return detail::kErrorNotEnoughMemory;
  }
}
}  // namespace

unsigned long service_host::ready(std::string_view text) noexcept {
  return with_status("READY=1", text);
}

unsigned long service_host::status(std::string_view text) noexcept {
  try {
    return service_notify(std::string("STATUS=").append(text));
  } catch (...) {
    return detail::kErrorNotEnoughMemory;
  }
}

unsigned long service_host::stopping(std::string_view text) noexcept {
  return with_status("STOPPING=1", text);
}

}  // namespace krCore
