// The clock and time-zone watch, and the broadcast listener built on it.
//
// The clock: a timerfd on CLOCK_REALTIME armed far ahead with
// TFD_TIMER_CANCEL_ON_SET; the kernel cancels it whenever the clock is set
// (clock_settime, settimeofday, a step by the time daemon; a gradual slew
// does not count), its read then fails with ECANCELED, and the watch re-arms
// it. The zone: inotify on the directory of the zone file, for the file
// being written, replaced or removed. Futex waits cannot sleep on a file
// descriptor, so a small thread of the watch blocks in poll() on both and
// calls back; the callback runs on that thread.
//
// The watch thread sleeps in poll() on three descriptors: the clock timer,
// the inotify descriptor of the zone file's directory and an eventfd that
// the destructor writes to stop it. Each wake-up reads everything that is
// pending first and then reports one change at most, so a burst of events
// (a zone file replaced in several steps) gives one call.
#include "scheduling/clock_watch.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <krcore/diagnostics.h>
#include <krcore/foundation.h>

#include <cstdint>
#include <future>
#include <thread>

#include "scheduling/broadcast.h"
#include "diagnostics/guarded_call.h"
#include "foundation/errors.h"
#include "security/privileges.h"

namespace krCore::detail {
namespace {

// Owner of one file descriptor.
class fd_holder {
 public:
  fd_holder() = default;
  explicit fd_holder(int fd) : _fd(fd) {}
  ~fd_holder() { reset(); }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
  int get() const { return _fd; }
  void reset(int fd = -1) {
    if (_fd >= 0) ::close(_fd);
    _fd = fd;
  }

 private:
  int _fd = -1;
};

[[noreturn]] void throw_errno(const char* message) {
  throw krException(last_errno_as_win32(), message, 4);
}

// The timer is armed this far ahead of now; it only matters that it never
// expires, and an expiry merely re-arms it.
constexpr time_t kFarAheadSeconds = 50LL * 365 * 24 * 3600;

bool arm(int timer) {
  struct itimerspec spec {};
  ::clock_gettime(CLOCK_REALTIME, &spec.it_value);
  spec.it_value.tv_sec += kFarAheadSeconds;
  return ::timerfd_settime(timer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

struct clock_change_watch::state {
  std::function<void()> on_change;
  std::string zone_name;
  fd_holder timer, zone, stop;
  std::thread thread;
  // The thread's start: 0, or the Win32 code of why it cannot watch.
  std::promise<unsigned long> started;

  // True when the clock was set since the last call; re-arms the timer.
  bool clock_was_set() {
    std::uint64_t expirations;
    if (::read(timer.get(), &expirations, sizeof expirations) >= 0) {
      arm(timer.get());  // expired after all those years: arm again, no change
      return false;
    }
    if (errno != ECANCELED) return false;  // EAGAIN: nothing pending after all
    arm(timer.get());
    return true;
  }

  // True when a pending inotify event concerns the zone file (or events
  // were lost, which may have hidden one).
  bool zone_was_changed() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
      const ssize_t n = ::read(zone.get(), buffer, sizeof buffer);
      if (n <= 0) return changed;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((e->mask & IN_Q_OVERFLOW) || (e->len != 0 && zone_name == e->name)) changed = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }

  void run() {
    std::optional<se_exception_initializer> guard;
    const unsigned long code = make_thread_guard(guard, "clock_watch");
    started.set_value(code);
    if (code != 0 || !guard) return;  // the constructor reports it
    // Process-directed signals belong to the program's own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
      struct pollfd fds[3] = {
          {stop.get(), POLLIN, 0}, {timer.get(), POLLIN, 0}, {zone.get(), POLLIN, 0}};
      const nfds_t count = zone.get() >= 0 ? 3 : 2;
      if (::poll(fds, count, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents) return;
      bool changed = false;
      if (fds[1].revents) changed = clock_was_set();
      if (count == 3 && fds[2].revents) changed = zone_was_changed() || changed;
      if (changed) {
        ::tzset();
        // The callback's failures are analysed like any library thread's,
        // and the watch goes on.
        guarded_call(*guard, "clock_watch", 1, on_change);
        guard->clear();
      }
    }
  }
};

clock_change_watch::clock_change_watch(std::function<void()> on_change,
                                       const std::string& zone_file)
    : _state(std::make_unique<state>()) {
  state& s = *_state;
  s.on_change = std::move(on_change);
  s.timer.reset(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
  if (s.timer.get() < 0) throw_errno("clock_change_watch: timerfd_create failed.");
  if (!arm(s.timer.get())) throw_errno("clock_change_watch: timerfd_settime failed.");
  s.stop.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (s.stop.get() < 0) throw_errno("clock_change_watch: eventfd failed.");
  // The zone file is usually replaced (renamed over or re-linked) rather
  // than written, so the directory is watched for its name.
  s.zone_name = name_of(zone_file);
  s.zone.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (s.zone.get() >= 0 &&
      ::inotify_add_watch(s.zone.get(), directory_of(zone_file).c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM) < 0)
    s.zone.reset();
  try {
    const start_unprivileged unprivileged;
    s.thread = std::thread([&s] { s.run(); });
  } catch (const std::system_error& e) {
    throw krException(win32_from_errno(e.code().value()),
                      "clock_change_watch: the watch thread could not be started.", 4);
  }
  // A thread that cannot catch its own faults does not watch: say so here
  // rather than report a watch that never calls back.
  if (const unsigned long code = s.started.get_future().get(); code != 0) {
    s.thread.join();
    throw krException(code, "clock_change_watch: the watch thread could not set up its fault handling.", 4);
  }
}

clock_change_watch::~clock_change_watch() {
  const std::uint64_t one = 1;
  // An eventfd write of 1 cannot fail short of a full counter.
  [[maybe_unused]] const ssize_t written = ::write(_state->stop.get(), &one, sizeof one);
  _state->thread.join();
}

namespace {

// Clock and zone changes as WM_TIMECHANGE for one thread.
class time_change_listener final : public broadcast_listener {
 public:
  explicit time_change_listener(DWORD thread_id)
      : _watch([thread_id] { PostThreadMessageW(thread_id, WM_TIMECHANGE, 0, 0); }) {}

 private:
  clock_change_watch _watch;
};

}  // namespace

std::unique_ptr<broadcast_listener> listen_for_broadcasts(DWORD thread_id) noexcept {
  try {
    return std::make_unique<time_change_listener>(thread_id);
  } catch (...) {
    return nullptr;
  }
}

// Only thread messages arrive here: there is no window to dispatch to.
void dispatch_message(const MSG&) noexcept {}

}  // namespace krCore::detail
