// Process handles on Linux: a process descriptor (pidfd) per handle, joined
// to the library's waits, plus the children the library starts.
//
// A pidfd becomes readable when its process ends, but it cannot wake a futex
// sleep, so a process object asks the waits to poll it in short slices.
// Exit codes: a child we started is collected with waitid(P_PIDFD) the first
// time its end is seen, and the code is kept in a state shared by every
// handle to it (a collected child no longer exists for the kernel). For
// other processes the kernel shows the exit status in /proc/<pid>/stat only
// while the parent has not collected it, so the handle keeps that file open
// from the start and reads it once the end is seen. A child whose handles
// are all closed while it runs is collected by the library's reaper thread.
// A child whose status the host collected first (its own reaper, SIGCHLD
// ignored) has ended with a code nobody can tell, and is reported so.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <krcore/processes.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cmdline/splitting.h"
#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "foundation/linux/object.h"
#include "foundation/utf.h"
#include "processes/linux/spawn.h"
#include "processes/process_table.h"
#include "security/privileges.h"

namespace krCore::detail {
namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int pidfd_send_signal(int fd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

// What every handle to one child of ours shares: whether it was collected
// and with which code, and the code a TerminateProcess asked for.
struct child_state {
  library_mutex lock;
  bool collected = false;
  bool lost = false;  // ended, but collected by someone else: code unknown
  DWORD code = 0;
  bool killed = false;  // a TerminateProcess signal reached it
  DWORD requested_code = 0;
};

// Children not yet collected, by pid (a pid cannot be reused before its
// child is collected, so the entry is unambiguous). Never destroyed: the
// reaper thread may use it while the process exits.
struct children_table {
  library_mutex lock;
  std::map<pid_t, std::weak_ptr<child_state>> by_pid;
};
children_table& children() {
  static auto* table = new children_table;
  return *table;
}

std::shared_ptr<child_state> find_child(pid_t pid) {
  children_table& table = children();
  std::lock_guard<library_mutex> guard(table.lock);
  auto it = table.by_pid.find(pid);
  if (it == table.by_pid.end()) return nullptr;
  auto state = it->second.lock();
  if (!state) table.by_pid.erase(it);
  return state;
}

// Collects the child behind `pidfd` if it ended, keeping its code for every
// handle; true once it is collected (by this call or an earlier one).
bool collect_child(child_state& child, int pidfd, pid_t pid) {
  std::lock_guard<library_mutex> guard(child.lock);
  if (child.collected) return true;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
               WEXITED | WNOHANG) != 0) {
    // No child of ours any more: the host collected it (a reaper of its
    // own, SIGCHLD ignored), and its status went with it.
    if (errno != ECHILD) return false;
    child.lost = true;
  } else if (info.si_pid == 0) {
    return false;
  } else {
    child.code = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status)
                                            : 128u + static_cast<DWORD>(info.si_status);
  }
  child.collected = true;
  children_table& table = children();
  std::lock_guard<library_mutex> registry(table.lock);
  table.by_pid.erase(pid);
  return true;
}

// The exit status field (the 52nd) of a /proc/<pid>/stat text, as waitpid
// reports it; false when it is not there (the file may not be read).
bool stat_exit_status(int fd, int& status) {
  char text[2048];
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return false;
  text[n] = 0;
  // The second field (the name) is in parentheses and may hold spaces.
  const char* p = std::strrchr(text, ')');
  if (!p) return false;
  int field = 2;
  long long value = 0;
  bool have = false;
  for (++p; *p; ++p) {
    if (*p == ' ') {
      ++field;
      value = 0;
      have = false;
      continue;
    }
    if (field == 52 && *p >= '0' && *p <= '9') {
      value = value * 10 + (*p - '0');
      have = true;
    }
  }
  if (field < 52 || !have) return false;
  status = static_cast<int>(value);
  return true;
}

DWORD code_from_wait_status(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<DWORD>(WTERMSIG(status));
  return 0;
}

// Children whose handles were all closed while they ran. The library
// still owns them: nobody else may collect them, and uncollected they would
// stay zombies holding their pids for the life of the process. One thread,
// started by the first such child and kept from then on, sleeps in poll()
// on their pidfds and collects each as it ends. It blocks every signal, so
// it never takes one the host meant for its own threads.
class reaper {
 public:
  // Never destroyed: its thread outlives static destruction.
  static reaper& instance() {
    static auto* r = new reaper;
    return *r;
  }

  // Takes over `pidfd` (closed once the child is collected).
  void adopt(int pidfd, pid_t pid, std::shared_ptr<child_state> child) {
    std::lock_guard<library_mutex> guard(_lock);
    _adopted.push_back({pidfd, pid, std::move(child)});
    if (_owner != ::getpid() && !start()) return;  // none yet, or forked since
    const std::uint64_t one = 1;
    (void)!::write(_wake, &one, sizeof one);
  }

 private:
  struct orphan {
    int pidfd;
    pid_t pid;
    std::shared_ptr<child_state> child;
  };

  // Starts the thread (with _lock held); false when it cannot be started,
  // and the children wait for the next adoption to try again.
  bool start() {
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return false;
    const start_unprivileged unprivileged;  // nor does it inherit a scope's capabilities
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);  // the thread inherits the mask
    bool started = true;
    try {
      std::thread([this, wake] { run(wake); }).detach();
    } catch (const std::system_error&) {
      started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
      ::close(wake);
      return false;
    }
    _wake = wake;
    _owner = ::getpid();
    return true;
  }

  [[noreturn]] void run(int wake) {
    std::vector<orphan> watched;
    std::vector<pollfd> fds;
    for (;;) {
      fds.assign(1, pollfd{wake, POLLIN, 0});
      for (const orphan& o : watched) fds.push_back(pollfd{o.pidfd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;  // EINTR (or ENOMEM: try again)
      if (fds[0].revents) {
        std::uint64_t count;
        (void)!::read(wake, &count, sizeof count);
        std::lock_guard<library_mutex> guard(_lock);
        for (orphan& o : _adopted) watched.push_back(std::move(o));
        _adopted.clear();
      }
      std::size_t kept = 0;
      for (std::size_t i = 0; i < watched.size(); ++i) {
        orphan& o = watched[i];
        // An ended child is collected now; should that fail (a process
        // forked from ours inherited the entry, or someone else collected
        // it) the entry goes all the same, or poll would never sleep again.
        const bool ended = i + 1 < fds.size() && fds[i + 1].revents != 0;
        if (ended) {
          collect_child(*o.child, o.pidfd, o.pid);
          ::close(o.pidfd);
          o.child.reset();
          continue;
        }
        if (kept != i) watched[kept] = std::move(o);
        ++kept;
      }
      watched.resize(kept);
    }
  }

  library_mutex _lock;
  std::vector<orphan> _adopted;  // handed over, not yet seen by the thread
  int _wake = -1;
  pid_t _owner = 0;  // the process whose thread runs (0: none started)
};

class process_object : public waitable {
 public:
  process_object(int pidfd, int statfd, pid_t pid, std::shared_ptr<child_state> child)
      : _pidfd(pidfd), _statfd(statfd), _pid(pid), _child(std::move(child)) {}
  ~process_object() override {
    if (_child && !collect_child(*_child, _pidfd, _pid)) {
      // Still running: collected when it ends, not left as a zombie.
      reaper::instance().adopt(_pidfd, _pid, std::move(_child));
      _pidfd = -1;
    }
    if (_pidfd >= 0) ::close(_pidfd);
    if (_statfd >= 0) ::close(_statfd);
  }

  object_kind kind() const override { return object_kind::process; }
  // The end of a process signals every wait for it and is never consumed.
  take_result try_take() override { return ended() ? take_result::taken : take_result::busy; }
  bool prepare(sleep_slot& slot) override {
    if (ended()) return false;
    slot.word = &_word;
    slot.expected = _word.load();
    slot.shared = false;
    slot.poll = true;
    return true;
  }
  std::atomic<std::uint32_t>& waiters() override { return _waiters; }

  pid_t pid() const { return _pid; }

  bool ended() {
    if (_ended.load(std::memory_order_acquire)) return true;
    struct pollfd p = {_pidfd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    std::lock_guard<library_mutex> guard(_lock);
    if (!_ended.load()) {
      if (_child) {
        collect_child(*_child, _pidfd, _pid);
      } else {
        int status = 0;
        if (_statfd >= 0 && stat_exit_status(_statfd, status)) _code = code_from_wait_status(status);
      }
      _ended.store(true, std::memory_order_release);
    }
    return true;
  }

  // 0 with the exit code (STILL_ACTIVE while it runs), or 128
  // (ERROR_WAIT_NO_CHILDREN) for a child of ours whose status someone else
  // collected: no code is made up for it.
  unsigned long exit_code(DWORD& code) {
    if (!ended()) {
      code = STILL_ACTIVE;
      return 0;
    }
    std::lock_guard<library_mutex> guard(_lock);
    if (_child) {
      // A child's status tells whether our kill ended it or it exited first.
      std::lock_guard<library_mutex> child_guard(_child->lock);
      if (_child->lost) return win32_from_errno(ECHILD);
      code = _child->killed && _child->code == 128u + SIGKILL ? _child->requested_code
                                                               : _child->code;
      return 0;
    }
    code = _requested && _killed_by_us ? _requested_code : _code;
    return 0;
  }

  unsigned long signal(int sig, bool record, DWORD code) {
    if (record) {
      std::lock_guard<library_mutex> guard(_lock);
      if (!_ended.load()) {
        _requested = true;
        _requested_code = code;
      }
    }
    if (pidfd_send_signal(_pidfd, sig) == 0) {
      if (record) {
        std::lock_guard<library_mutex> guard(_lock);
        _killed_by_us = _requested;
        if (_child) {
          // Every handle to a child reports the code, whichever asked.
          std::lock_guard<library_mutex> child_guard(_child->lock);
          if (!_child->collected && !_child->killed) {
            _child->killed = true;
            _child->requested_code = code;
          }
        }
      }
      return 0;
    }
    if (errno == ESRCH) return 0;  // already ended
    return last_errno_as_win32();
  }

 private:
  int _pidfd;
  int _statfd;
  pid_t _pid;
  std::shared_ptr<child_state> _child;
  std::atomic<std::uint32_t> _word{0};  // never changes: waits poll instead
  std::atomic<std::uint32_t> _waiters{0};
  std::atomic<bool> _ended{false};
  library_mutex _lock;
  DWORD _code = 0;
  bool _requested = false;
  bool _killed_by_us = false;
  DWORD _requested_code = 0;
};

// A handle for the process behind `fd` (taken over), sharing `child` when
// it is one of ours. Null with the last error set; with
// `kill_without_handle` the process is then ended, as nobody could wait for
// it.
HANDLE handle_for(int fd, pid_t pid, std::shared_ptr<child_state> child,
                  bool kill_without_handle = false) {
  if (!child) child = find_child(pid);
  // Only another process's status is read from /proc; a child's is
  // collected.
  int statfd = -1;
  if (!child) {
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    statfd = ::open(stat_path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  auto* object = new process_object(fd, statfd, pid, std::move(child));
  object->add_ref();
  HANDLE h = make_handle(object);
  if (!h) {
    SetLastError(kErrorNotEnoughMemory);
    if (kill_without_handle) object->signal(SIGKILL, false, 0);
  }
  object->release();
  return h;
}

// A handle for `pid`. With `terminate` the caller must be allowed to signal
// the process (the null signal tells): opening it for termination is
// refused at once where that right is missing. Null with the last error set.
HANDLE open_process(pid_t pid, bool terminate) {
  if (pid <= 0) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const int fd = pidfd_open(pid);
  if (fd < 0) {
    SetLastError(errno == ESRCH || errno == EINVAL ? kErrorInvalidParameter : last_errno_as_win32());
    return nullptr;
  }
  if (terminate && pidfd_send_signal(fd, 0) != 0 && errno != ESRCH) {
    SetLastError(last_errno_as_win32());
    ::close(fd);
    return nullptr;
  }
  return handle_for(fd, pid, nullptr);
}

// Runs `f` on the process object behind `process`; 6 when there is none.
template <class F>
unsigned long with_process(HANDLE process, F&& f) {
  handle_ref ref(process);
  waitable* o = ref.get();
  if (!o || o->kind() != object_kind::process) return kErrorInvalidHandle;
  return f(*static_cast<process_object*>(o));
}

BOOL fail(unsigned long code) {
  SetLastError(code);
  return 0;
}

}  // namespace

unsigned long post_close_request(HANDLE process) {
  return with_process(process, [](process_object& p) { return p.signal(SIGTERM, false, 0); });
}

unsigned long post_close_request_to_pid(unsigned long pid) {
  if (pid == 0 || pid > 0x7FFFFFFF) return kErrorInvalidParameter;
  const int fd = pidfd_open(static_cast<pid_t>(pid));
  if (fd < 0) return errno == ESRCH ? kErrorInvalidParameter : last_errno_as_win32();
  const unsigned long error =
      pidfd_send_signal(fd, SIGTERM) == 0 || errno == ESRCH ? 0 : last_errno_as_win32();
  ::close(fd);
  return error;
}

}  // namespace krCore::detail

using namespace krCore::detail;

extern "C" {

HANDLE OpenProcess(DWORD access, BOOL, DWORD pid) {
  if (pid > 0x7FFFFFFF) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  return open_process(static_cast<pid_t>(pid), (access & PROCESS_TERMINATE) != 0);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* code) {
  if (!code) return fail(kErrorInvalidParameter);
  const unsigned long error =
      with_process(process, [code](process_object& p) { return p.exit_code(*code); });
  return error ? fail(error) : 1;
}

BOOL TerminateProcess(HANDLE process, unsigned int code) {
  const unsigned long error =
      with_process(process, [code](process_object& p) { return p.signal(SIGKILL, true, code); });
  return error ? fail(error) : 1;
}

DWORD GetProcessId(HANDLE process) {
  DWORD pid = 0;
  const unsigned long error = with_process(process, [&pid](process_object& p) {
    pid = static_cast<DWORD>(p.pid());
    return 0ul;
  });
  if (error) SetLastError(error);
  return pid;
}

BOOL CreateProcessW(const wchar_t* application, wchar_t* command_line, void*, void*, BOOL, DWORD,
                    void*, const wchar_t* directory, void*, PROCESS_INFORMATION* info) {
  if (!info) return fail(kErrorInvalidParameter);
  std::vector<std::wstring> args;
  if (command_line && *command_line) args = split_command_line(command_line);
  std::string program =
      application && *application ? file_name_from_wide(application) : std::string();
  if (program.empty() && !args.empty()) program = file_name_from_wide(args.front());
  if (program.empty()) return fail(kErrorInvalidParameter);
  if (args.empty()) args.emplace_back(application);

  std::vector<std::string> narrow;
  narrow.reserve(args.size());
  for (const std::wstring& a : args) narrow.push_back(file_name_from_wide(a));
  std::vector<char*> argv;
  argv.reserve(narrow.size() + 1);
  for (std::string& a : narrow) argv.push_back(a.data());
  argv.push_back(nullptr);

  const bool search = (!application || !*application) && program.find('/') == std::string::npos;
  const std::string dir = directory && *directory ? file_name_from_wide(directory) : std::string();
  pid_t pid = 0;
  int pidfd = -1;
  if (const int rc = spawn_with_pidfd(program, search, argv.data(), dir, pid, pidfd))
    return fail(win32_from_errno(rc));

  auto state = std::make_shared<child_state>();
  {
    children_table& table = children();
    std::lock_guard<library_mutex> guard(table.lock);
    table.by_pid[pid] = state;
  }
  // Without a handle nobody could wait for it: it is ended, and collected
  // by the reaper.
  HANDLE h = handle_for(pidfd, pid, state, true);
  if (!h) return fail(GetLastError());
  info->hProcess = h;
  info->hThread = nullptr;
  info->dwProcessId = static_cast<DWORD>(pid);
  info->dwThreadId = static_cast<DWORD>(pid);
  return 1;
}

}  // extern "C"
