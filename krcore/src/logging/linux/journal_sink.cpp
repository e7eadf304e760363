// The journal copy on Linux: journald's native protocol on its datagram
// socket (see journal.h), spoken without libsystemd.
//
// The process keeps one non-blocking socket connected to the journal's, so
// that a full queue answers at once instead of holding the logger's lock,
// and so that the socket can wait for room: a burst longer than the
// journal's queue (net.unix.max_dgram_qlen, 10 by default) waits up to
// kRoomWaitMs for journald to catch up, as its own client would wait
// without a bound. A journal that takes nothing within that wait is not
// waited for again until it has taken an entry: while it stays stuck, the
// copies are dropped at once. A journald that restarted made its socket
// anew; the sink connects again then. A child of fork goes on with the
// parent's socket: it reaches the same journal, and its entries carry the
// child's own process id, which the kernel attaches.
#include "logging/linux/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "foundation/kill_hold.h"
#include "foundation/process_calls.h"
#include "foundation/utf.h"
#include "logging/journal_sink.h"
#include "logging/logline.h"
#include "logging/loud_failure.h"

namespace krCore::detail {
namespace {

// The room asked for the socket's queue (the kernel may give less).
constexpr int kSendBuffer = 8 << 20;
// The largest entry sent as a datagram, below what a socket takes under
// the kernel's default limits (net.core.wmem_max 212992), so every machine
// sends the same entries the same way; a larger one goes as a memory file
// at once, without a doomed copy into the kernel first.
constexpr std::size_t kLargestDatagram = std::size_t{192} * 1024;
// The longest wait for room in the journal's queue (see above).
constexpr int kRoomWaitMs = 10;

unsigned long send_error(int err) {
  switch (err) {
    case ECONNREFUSED:
      return kRpcServerUnavailable;  // a socket file nobody reads
    case EAGAIN:
      return kErrorTimeout;  // its queue is full
    default:
      return win32_from_errno(err);
  }
}

// A new socket connected to `path`, or -1 with errno.
int connect_socket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// A sealed memory file holding `data`; -1 with errno on failure.
int sealed_memfd(std::string_view data) {
  const int fd = ::memfd_create("qmcore-journal", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      ::close(fd);
      errno = err;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

ssize_t send_message(int fd, msghdr& message) {
  for (;;) {
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Whether the error means the journal's socket went away under a connected
// socket (journald restarted), so that connecting again may help.
bool reconnect_helps(unsigned long error) {
  return error == kRpcServerUnavailable || error == win32_from_errno(ENOTCONN) ||
         error == win32_from_errno(EPIPE) || error == win32_from_errno(ECONNRESET);
}

// The process's sink: the socket, the line buffer reused by every entry and
// the count of drops. Made at the library's load, never destroyed (a line
// may be logged during exit), and registered for fork then, before any log
// writer: prepare handlers run in the reverse order, so a fork takes the
// writers' gates first and this lock second, the order every entry takes
// them in.
struct journal_sink {
  library_mutex mutex;
  int fd = -1;
  bool named = false;  // whether `path` and `identifier` were read
  // Set while the journal takes nothing: no wait for room then.
  bool stuck = false;
  std::string path;
  std::string datagram;
  std::string text;  // the message as UTF-8
  std::string identifier;
  std::atomic<std::uint64_t> dropped{0};

  static journal_sink& get() { return lasting_across_fork<journal_sink>(); }

  // With the lock held: sends `datagram`, connecting first when needed,
  // and once more on a fresh connection when the old one lost its journal.
  // With the lock held: reads the socket's path and the program's name,
  // once.
  void name_once() {
    if (named) return;
    path = journal_socket_path();
    identifier = program_invocation_short_name ? program_invocation_short_name : "";
    named = true;
  }

  unsigned long deliver(std::string_view datagram) {
    unsigned long error = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd < 0) {
        fd = connect_socket(path);
        if (fd < 0) return send_error(errno);
      }
      error = journal_send(fd, datagram);
      if (error == kErrorTimeout && !stuck) {
        pollfd room{fd, POLLOUT, 0};
        if (::poll(&room, 1, kRoomWaitMs) == 1) error = journal_send(fd, datagram);
      }
      if (!reconnect_helps(error)) break;
      ::close(fd);
      fd = -1;
    }
    stuck = error == kErrorTimeout;
    return error;
  }
};

// Registered at load, see journal_sink.
[[maybe_unused]] const bool g_registered = (journal_sink::get(), true);

void append_number_field(std::string& out, std::string_view name, unsigned long long value) {
  out.append(name);
  out += '=';
  out += std::to_string(value);
  out += '\n';
}

}  // namespace

std::string journal_socket_path() {
  const char* path = library_setting("KRCORE_JOURNAL_SOCKET");
  return path && *path ? std::string(path) : std::string("/run/systemd/journal/socket");
}

int journal_priority(unsigned level) {
  if (level & 8) return 3;
  if (level & 4) return 4;
  if (level & 2) return 6;
  if (level & 1) return 7;
  return 6;
}

void journal_field(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  if (value.find('\n') == std::string_view::npos) {
    out += '=';
    out.append(value);
  } else {
    out += '\n';
    std::uint64_t size = value.size();
    for (int i = 0; i < 8; ++i, size >>= 8) out += static_cast<char>(size & 0xFF);
    out.append(value);
  }
  out += '\n';
}

unsigned long journal_send(int fd, std::string_view datagram) {
  iovec part{const_cast<char*>(datagram.data()), datagram.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (datagram.size() <= kLargestDatagram) {
    if (send_message(fd, message) >= 0) return 0;
    if (errno != EMSGSIZE && errno != ENOBUFS) return send_error(errno);
  }
  // Too large for one datagram: the entry goes as a sealed memory file,
  // which journald reads in full (and refuses unless sealed).
  const int memfd = sealed_memfd(datagram);
  if (memfd < 0) return last_errno_as_win32();
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr carrier{};
  carrier.msg_control = control;
  carrier.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&carrier);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &memfd, sizeof(int));
  const unsigned long error = send_message(fd, carrier) >= 0 ? 0 : send_error(errno);
  ::close(memfd);
  return error;
}

unsigned long journal_copy(std::wstring_view message, unsigned level,
                           const log_source* where) noexcept {
  journal_sink& sink = journal_sink::get();
  const std::lock_guard<library_mutex> lock(sink.mutex);
  unsigned long error = 0;
  try {
    sink.name_once();
    // Both buffers keep their capacity: no allocation once they have grown
    // to the longest entry.
    std::string& text = sink.text;
    text.resize(4 * message.size());
    text.resize(static_cast<std::size_t>(encode_utf8(message, text.data()) - text.data()));
    std::string& out = sink.datagram;
    out.clear();
    journal_field(out, "MESSAGE", text);
    append_number_field(out, "PRIORITY", static_cast<unsigned>(journal_priority(level)));
    if (!sink.identifier.empty()) journal_field(out, "SYSLOG_IDENTIFIER", sink.identifier);
    append_number_field(out, "TID", static_cast<unsigned long long>(current_thread_id()));
    if (where && where->file) {
      journal_field(out, "CODE_FILE", where->file);
      append_number_field(out, "CODE_LINE", where->line);
      if (where->function) journal_field(out, "CODE_FUNC", where->function);
    }
    error = sink.deliver(out);
  } catch (...) {
    error = kErrorNotEnoughMemory;
  }
  if (error != 0) {
    sink.dropped.fetch_add(1, std::memory_order_relaxed);
    report_journal_drop(sink.path, error);
  }
  return error;
}

std::uint64_t journal_dropped() noexcept {
  return journal_sink::get().dropped.load(std::memory_order_relaxed);
}

}  // namespace krCore::detail
