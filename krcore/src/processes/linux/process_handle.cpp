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
// from the start and reads it once the end is seen.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <krcore/processes.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "cmdline/splitting.h"
#include "foundation/errors.h"
#include "foundation/linux/object.h"
#include "foundation/utf.h"
#include "processes/process_table.h"

extern char** environ;

namespace krCore::detail {
namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int pidfd_send_signal(int fd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

// What every handle to one child of ours shares: whether it was collected
// and with which code, and the code a TerminateProcess asked for.
struct child_state {
  std::mutex lock;
  bool collected = false;
  DWORD code = 0;
  bool killed = false;  // a TerminateProcess signal reached it
  DWORD requested_code = 0;
};

// Children not yet collected, by pid (a pid cannot be reused before its
// child is collected, so the entry is unambiguous).
std::mutex g_children_lock;
std::map<pid_t, std::weak_ptr<child_state>> g_children;

std::shared_ptr<child_state> find_child(pid_t pid) {
  std::lock_guard<std::mutex> guard(g_children_lock);
  auto it = g_children.find(pid);
  if (it == g_children.end()) return nullptr;
  auto state = it->second.lock();
  if (!state) g_children.erase(it);
  return state;
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

class process_object : public waitable {
 public:
  process_object(int pidfd, int statfd, pid_t pid, std::shared_ptr<child_state> child)
      : _pidfd(pidfd), _statfd(statfd), _pid(pid), _child(std::move(child)) {}
  ~process_object() override {
    if (_child) collect();  // a child that ended is not left as a zombie
    ::close(_pidfd);
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
    std::lock_guard<std::mutex> guard(_lock);
    if (!_ended.load()) {
      if (_child) {
        collect();
      } else {
        int status = 0;
        if (_statfd >= 0 && stat_exit_status(_statfd, status)) _code = code_from_wait_status(status);
      }
      _ended.store(true, std::memory_order_release);
    }
    return true;
  }

  DWORD exit_code() {
    if (!ended()) return STILL_ACTIVE;
    std::lock_guard<std::mutex> guard(_lock);
    if (_child) {
      // A child's status tells whether our kill ended it or it exited first.
      std::lock_guard<std::mutex> child_guard(_child->lock);
      if (_child->killed && _child->code == 128u + SIGKILL) return _child->requested_code;
      return _child->code;
    }
    return _requested && _killed_by_us ? _requested_code : _code;
  }

  unsigned long signal(int sig, bool record, DWORD code) {
    if (record) {
      std::lock_guard<std::mutex> guard(_lock);
      if (!_ended.load()) {
        _requested = true;
        _requested_code = code;
      }
    }
    if (pidfd_send_signal(_pidfd, sig) == 0) {
      if (record) {
        std::lock_guard<std::mutex> guard(_lock);
        _killed_by_us = _requested;
        if (_child) {
          // Every handle to a child reports the code, whichever asked.
          std::lock_guard<std::mutex> child_guard(_child->lock);
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
  // Collects the child if it ended, keeping its code for every handle.
  void collect() {
    std::lock_guard<std::mutex> guard(_child->lock);
    if (_child->collected) return;
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(_pidfd), &info,
                 WEXITED | WNOHANG) != 0 ||
        info.si_pid == 0)
      return;
    _child->collected = true;
    _child->code = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status)
                                              : 128u + static_cast<DWORD>(info.si_status);
    std::lock_guard<std::mutex> registry(g_children_lock);
    g_children.erase(_pid);
  }

  int _pidfd;
  int _statfd;
  pid_t _pid;
  std::shared_ptr<child_state> _child;
  std::atomic<std::uint32_t> _word{0};  // never changes: waits poll instead
  std::atomic<std::uint32_t> _waiters{0};
  std::atomic<bool> _ended{false};
  std::mutex _lock;
  DWORD _code = 0;
  bool _requested = false;
  bool _killed_by_us = false;
  DWORD _requested_code = 0;
};

// A handle for `pid`, sharing `child` when it is one of ours. Null with the
// last error set.
HANDLE open_process(pid_t pid, std::shared_ptr<child_state> child) {
  if (pid <= 0) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const int fd = pidfd_open(pid);
  if (fd < 0) {
    SetLastError(errno == ESRCH || errno == EINVAL ? kErrorInvalidParameter : last_errno_as_win32());
    return nullptr;
  }
  const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
  const int statfd = ::open(stat_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!child) child = find_child(pid);
  HANDLE h = make_handle(new process_object(fd, statfd, pid, std::move(child)));
  if (!h) SetLastError(kErrorNotEnoughMemory);
  return h;
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

HANDLE OpenProcess(DWORD, BOOL, DWORD pid) {
  if (pid > 0x7FFFFFFF) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  return open_process(static_cast<pid_t>(pid), nullptr);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* code) {
  if (!code) return fail(kErrorInvalidParameter);
  const unsigned long error = with_process(process, [code](process_object& p) {
    *code = p.exit_code();
    return 0ul;
  });
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

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string dir;
  if (directory && *directory) {
    dir = file_name_from_wide(directory);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  }
  pid_t pid = 0;
  const bool search = (!application || !*application) && program.find('/') == std::string::npos;
  const int rc = search ? ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ)
                        : ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail(win32_from_errno(rc));

  auto state = std::make_shared<child_state>();
  {
    std::lock_guard<std::mutex> guard(g_children_lock);
    g_children[pid] = state;
  }
  HANDLE h = open_process(pid, state);
  if (!h) {
    // Without a handle nobody could collect it: end and collect it here.
    const unsigned long error = GetLastError();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return fail(error);
  }
  info->hProcess = h;
  info->hThread = nullptr;
  info->dwProcessId = static_cast<DWORD>(pid);
  info->dwThreadId = static_cast<DWORD>(pid);
  return 1;
}

}  // extern "C"
