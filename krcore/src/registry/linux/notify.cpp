// Change notification for keys: inotify over the key's folder (and, when
// asked, every folder below it, watches added as sub-keys appear), turned
// into the signal of an event handle that any wait of the library can take.
//
// One process-wide thread, started by the first request, reads every key's
// inotify descriptor through epoll and signals the events. A key is watched
// from its first request until its handle is closed; a change that comes
// while no request is armed is kept as pending and signals the next request
// at once, so a thread that re-arms after each change never misses one.
//
// A watch never goes silent: each folder is reached from the key's own
// descriptor one name at a time (openat, no link followed) and watched
// through /proc/self/fd/N of that folder, so no path grows with the depth.
// A sub-key that cannot be watched (the account's inotify watches used up)
// counts as a change at once, and the next request tries again and fails
// with 1816 (ERROR_NOT_ENOUGH_QUOTA) while the tree still cannot be watched
// whole. An overflow of the kernel's queue counts as a change too, and the
// tree is walked again for the sub-keys made meanwhile. A request refused
// for a limit (the account's inotify watches or instances, the process's
// descriptors) says so in one line on the debugger output that names the
// key and the limit.
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <krcore/diagnostics.h>
#include <krcore/foundation.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

#include "diagnostics/guarded_call.h"
#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/kill_hold.h"
#include "foundation/waitable.h"
#include "logging/debug_output.h"
#include "registry/linux/fs_key.h"
#include "threading/native_thread.h"

namespace krCore::detail::reg {

// The inotify state of one watched key.
class watch {
 public:
  ~watch() {
    for (HANDLE h : armed) close_handle(h);
    if (ifd >= 0) close(ifd);
    if (dir_fd >= 0) close(dir_fd);
  }

  library_mutex mutex;  // guards everything below
  int ifd = -1;
  int dir_fd = -1;  // the key's folder, for the paths of sub-key watches
  bool subtree = false;
  DWORD filter = 0;
  int root_wd = -1;
  std::unordered_map<int, std::string> paths;  // watch descriptor -> path below the key
  DWORD incomplete = 0;  // the code of the last sub-key that could not be watched
  const char* limit = nullptr;  // the limit that stopped it, when one did
  bool pending = false;
  bool deleted = false;
  std::vector<HANDLE> armed;  // our own duplicates of the requesters' events

  // Signals every armed request, or remembers the change for the next one.
  void fire() {
    if (armed.empty()) {
      pending = true;
      return;
    }
    for (HANDLE h : armed) {
      set_event(h);
      close_handle(h);
    }
    armed.clear();
  }
};

namespace {

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR;

// The limit an inotify or open failure `e` met, as an administrator finds
// it; null when it met none. `instance`: the failure of inotify_init1,
// whose EMFILE is the account's instances unless the process's own
// descriptors are used up.
const char* limit_met(int e, bool instance) {
  switch (e) {
    case ENOSPC:
      return "the account's inotify watches (fs.inotify.max_user_watches)";
    case EMFILE: {
      const int probe = instance ? open("/", O_PATH | O_CLOEXEC) : -1;
      if (probe >= 0) {
        close(probe);
        return "the account's inotify instances (fs.inotify.max_user_instances)";
      }
      return "the process's open descriptors (RLIMIT_NOFILE)";
    }
    case ENFILE:
      return "the system's open files (fs.file-max)";
    case ENOMEM:
      return "the kernel's memory for inotify";
    default:
      return nullptr;
  }
}

// The code for a watch the kernel refused: its watches or memory used up
// is the account's quota, as the system would say. `limit` receives the
// limit met (see limit_met).
DWORD watch_failure(int e, const char*& limit, bool instance = false) {
  limit = limit_met(e, instance);
  return limit ? DWORD{kErrorNotEnoughQuota} : win32_from_errno(e);
}

// One line on the debugger output for a request refused with `code`,
// naming the key folder `dir_fd` and the limit met. Runs only on the
// failure path. Returns `code`.
DWORD refused(int dir_fd, DWORD code, const char* limit) {
  char folder[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(dir_fd);
  const ssize_t n = dir_fd >= 0 ? readlink(link.c_str(), folder, sizeof folder - 1) : -1;
  std::string line = "registry: the key [";
  line.append(n > 0 ? std::string_view(folder, static_cast<size_t>(n)) : std::string_view("?"))
      .append("] cannot be watched for changes (error ")
      .append(std::to_string(code))
      .append(")");
  if (limit) line.append(": ").append(limit).append(" are used up");
  debug_output(line + "\r\n");
  return code;
}

// Opens the folder `rel` ('/'-separated names below the key) from the key's
// descriptor, one name at a time, never through a link.
unique_fd open_below(const watch& w, const std::string& rel) {
  unique_fd fd(fcntl(w.dir_fd, F_DUPFD_CLOEXEC, 0));
  for (size_t start = 0; fd && start < rel.size();) {
    const size_t end = std::min(rel.find('/', start), rel.size());
    const std::string name = rel.substr(start, end - start);
    fd.reset(openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    start = end + 1;
  }
  return fd;
}

// Watches the folder `rel` below the key, and every folder below it when
// the subtree is watched, without recursion. Returns 0 or the code of the
// first folder that could not be watched (the others are still tried); a
// folder gone meanwhile is no failure. `root_wd`, when given, receives the
// watch of `rel` itself.
DWORD add_tree(watch& w, const std::string& top, int* root_wd = nullptr) {
  DWORD failure = 0;
  std::vector<std::string> todo{top};
  while (!todo.empty()) {
    const std::string rel = std::move(todo.back());
    todo.pop_back();
    const unique_fd fd = open_below(w, rel);
    if (!fd) {
      if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && !failure)
        failure = watch_failure(errno, w.limit);
      continue;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd.get());
    const int wd = inotify_add_watch(w.ifd, path.c_str(), kWatchMask);
    if (wd < 0) {
      if (!failure) failure = watch_failure(errno, w.limit);
      continue;
    }
    w.paths[wd] = rel;
    if (root_wd && rel == top) *root_wd = wd;
    if (!w.subtree) continue;
    const int list_fd = openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
    if (!dir) {
      if (list_fd >= 0) close(list_fd);
      if (!failure) failure = watch_failure(errno, w.limit);
      continue;
    }
    while (const dirent* e = readdir(dir))
      if (e->d_type == DT_DIR && e->d_name[0] != '.' && e->d_name[0] != '@')
        todo.push_back(rel.empty() ? e->d_name : rel + "/" + e->d_name);
    closedir(dir);
  }
  return failure;
}

// The change kinds (REG_NOTIFY_CHANGE_* bits) of one inotify event.
DWORD change_kinds(watch& w, const inotify_event& ev) {
  if (ev.mask & IN_Q_OVERFLOW) {
    // Sub-keys may have come meanwhile, unseen: watch whatever is there.
    if (w.subtree) {
      if (DWORD rc = add_tree(w, std::string())) w.incomplete = rc;
    }
    return 0xF;
  }
  if (ev.wd == w.root_wd && (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
    w.deleted = true;
    return 0xF;
  }
  if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
    // A sub-key's folder went away; its parent's watch reports that.
    if (!(ev.mask & IN_IGNORED)) inotify_rm_watch(w.ifd, ev.wd);
    w.paths.erase(ev.wd);
    return 0;
  }
  if (ev.len == 0 || ev.name[0] == '.') return 0;  // the store's temporaries
  DWORD kinds = 0;
  if (ev.mask & IN_ATTRIB) kinds |= 0x2 | 0x8;
  if (ev.mask & IN_ISDIR) {
    if (ev.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) kinds |= 0x1;
    if (w.subtree && (ev.mask & (IN_CREATE | IN_MOVED_TO))) {
      const auto it = w.paths.find(ev.wd);
      if (it != w.paths.end()) {
        // Unwatched, its changes would go unseen: reported as a change of
        // every kind now, and by the next request.
        if (DWORD rc = add_tree(w, it->second.empty() ? ev.name : it->second + "/" + ev.name)) {
          w.incomplete = rc;
          return 0xF;
        }
      }
    }
  } else if (ev.name[0] == '@' &&
             (ev.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM))) {
    kinds |= 0x4;
  }
  return kinds;
}

// Reads what the kernel queued for `w` and signals when it holds a change
// the key is watched for.
void drain(watch& w) {
  std::lock_guard<library_mutex> lock(w.mutex);
  alignas(inotify_event) char buffer[8192];
  bool changed = false;
  for (;;) {
    const ssize_t n = read(w.ifd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buffer + off);
      if (change_kinds(w, *ev) & w.filter) changed = true;
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  if (changed) w.fire();
}

// The process-wide reader of every watched key's inotify descriptor.
class notifier {
 public:
  // Registers `w`; starts the thread on first use.
  DWORD add(const std::shared_ptr<watch>& w) {
    std::lock_guard<library_mutex> lock(_mutex);
    if (_epoll < 0) {
      _epoll = epoll_create1(EPOLL_CLOEXEC);
      if (_epoll < 0) return win32_from_errno(errno);
      DWORD id = 0;
      HANDLE thread = create_thread_gated(&notifier::thread_main, this, &id);
      if (!thread) {
        const DWORD rc = GetLastError();
        close(_epoll);
        _epoll = -1;
        return rc;
      }
      resume_thread(thread);
      close_handle(thread);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = w->ifd;
    if (epoll_ctl(_epoll, EPOLL_CTL_ADD, w->ifd, &ev) != 0) return win32_from_errno(errno);
    _watches[w->ifd] = w;
    return 0;
  }

  void remove(const watch& w) {
    std::lock_guard<library_mutex> lock(_mutex);
    if (_epoll >= 0) epoll_ctl(_epoll, EPOLL_CTL_DEL, w.ifd, nullptr);
    _watches.erase(w.ifd);
  }

 private:
  static unsigned thread_main(void* self) {
    std::optional<se_exception_initializer> guard;
    const unsigned long code = make_thread_guard(guard, "registry notifier");
    if (code != 0 || !guard) return static_cast<unsigned>(code);
    for (;;) guarded_call(*guard, __FILE__, __LINE__, [&] { static_cast<notifier*>(self)->run(); });
  }

  void run() {
    epoll_event events[16];
    for (;;) {
      const int n = epoll_wait(_epoll, events, 16, -1);
      for (int i = 0; i < n; ++i) {
        std::shared_ptr<watch> w;
        {
          std::lock_guard<library_mutex> lock(_mutex);
          const auto it = _watches.find(events[i].data.fd);
          if (it != _watches.end()) w = it->second.lock();
        }
        if (w) drain(*w);
      }
    }
  }

  library_mutex _mutex;
  int _epoll = -1;
  std::unordered_map<int, std::weak_ptr<watch>> _watches;
};

// Never destroyed: its thread runs until the process ends. A fork child
// has no such thread, and its lock may have been held by a thread of the
// parent: it starts afresh with a notifier of its own (the parent's keys
// it inherited are not watched there).
notifier*& notifier_slot() {
  static notifier* n = new notifier;
  return n;
}

void notifier_after_fork() { notifier_slot() = new notifier; }

notifier& the_notifier() {
  static const int registered = (at_fork_child(&notifier_after_fork), 0);
  (void)registered;
  return *notifier_slot();
}

DWORD start_watch(fs_key& k, bool subtree, DWORD filter, std::shared_ptr<watch>& out) {
  auto w = std::make_shared<watch>();
  w->subtree = subtree;
  w->filter = filter & 0xF;
  w->ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (w->ifd < 0) {
    const DWORD rc = watch_failure(errno, w->limit, true);
    return refused(k.fd, rc, w->limit);
  }
  w->dir_fd = fcntl(k.fd, F_DUPFD_CLOEXEC, 0);
  if (w->dir_fd < 0) {
    const DWORD rc = watch_failure(errno, w->limit);
    return refused(k.fd, rc, w->limit);
  }
  if (DWORD rc = add_tree(*w, std::string(), &w->root_wd)) return refused(k.fd, rc, w->limit);
  if (DWORD rc = the_notifier().add(w)) return rc;
  out = std::move(w);
  return 0;
}

// Drops the key's watch, signalling what is armed.
void stop_watch(fs_key& k) {
  std::shared_ptr<watch> w;
  {
    std::lock_guard<library_mutex> lock(k.watch_mutex);
    w = std::move(k.watcher);
  }
  if (!w) return;
  the_notifier().remove(*w);
  std::lock_guard<library_mutex> lock(w->mutex);
  w->fire();
}

}  // namespace

fs_key::~fs_key() {
  stop_watch(*this);
  close(fd);
}

DWORD notify(key& base, bool subtree, DWORD filter, HANDLE event) {
  fs_key& k = as_fs(base);
  std::shared_ptr<watch> w;
  {
    std::lock_guard<library_mutex> lock(k.watch_mutex);
    if (!k.watcher) {
      if (folder_gone(k.fd)) return kErrorKeyDeleted;
      if (DWORD rc = start_watch(k, subtree, filter, k.watcher)) return rc;
    }
    w = k.watcher;
  }
  std::lock_guard<library_mutex> lock(w->mutex);
  // A folder removed while this process holds it open shows no event until
  // the last handle closes; its link count says so at once.
  if (!w->deleted && folder_gone(k.fd)) w->deleted = true;
  if (w->deleted) return kErrorKeyDeleted;
  // Sub-keys that could not be watched before: tried again, and until they
  // can be, no request is taken that might miss their changes.
  if (w->incomplete) {
    w->incomplete = add_tree(*w, std::string());
    if (w->incomplete) return refused(k.fd, w->incomplete, w->limit);
  }
  HANDLE own = duplicate_handle(event);
  if (!own) return GetLastError();
  if (w->pending) {
    w->pending = false;
    set_event(own);
    close_handle(own);
  } else {
    w->armed.push_back(own);
  }
  return 0;
}

void cancel_notify(key& k) { stop_watch(as_fs(k)); }

}  // namespace krCore::detail::reg
