// Privileges as Linux capabilities: a privilege name stands for the
// capabilities that grant the same power, and switching it on raises them
// from the calling thread's permitted set into its effective set.
//
// Capabilities belong to threads, as a thread token does on Windows, and
// capset changes only the calling thread. So an object raises on the thread
// that switches it on and remembers, process-wide, the thread and what it
// raised there (only what was not effective before). Switching off lowers
// exactly that, whichever thread asks: the raising thread itself, or another
// one through a signal (SIGRTMAX-4) whose handler lowers its own thread's
// set while the asker waits.
//
// A thread started inside the scope copied the raised set from its creator.
// When the object switches off, a thread that did not exist at the raise
// loses the raised capabilities that no other thread had effective then
// (it can only have copied those from the scope), except what another live
// object raised. A process whose other threads hold the capability anyway
// keeps it in new threads too, as it would have without the scope. The
// library's own threads never copy a scope's capabilities: their creator
// sets them aside while it starts one (start_unprivileged), so no thread
// that cannot be asked (one that blocks every signal) ever holds them. A
// thread of the host's that blocks the signal is reported, not waited for.
#include <krcore/security.h>
#include <dirent.h>
#include <linux/futex.h>
#include <signal.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <vector>

#include "foundation/errors.h"
#include "foundation/linux/signal_chain.h"
#include "foundation/kill_hold.h"
#include "foundation/utf.h"
#include "logging/logsink.h"
#include "security/privileges.h"

namespace krCore {
namespace {

struct privilege_caps {
  const wchar_t* name;
  std::uint64_t caps;  // 0: the privilege has no counterpart here
};

constexpr std::uint64_t bit(int cap) { return std::uint64_t{1} << cap; }

// The system's privilege names. Those without a capability that grants the
// same power (logon-session, token and directory matters) are known names
// that are never held.
const privilege_caps kPrivileges[] = {
    {L"SeAssignPrimaryTokenPrivilege", bit(CAP_SETUID) | bit(CAP_SETGID)},
    {L"SeAuditPrivilege", bit(CAP_AUDIT_WRITE)},
    {L"SeBackupPrivilege", bit(CAP_DAC_READ_SEARCH)},
    {L"SeChangeNotifyPrivilege", bit(CAP_DAC_READ_SEARCH)},
    {L"SeCreateGlobalPrivilege", 0},
    {L"SeCreatePagefilePrivilege", bit(CAP_SYS_ADMIN)},
    {L"SeCreatePermanentPrivilege", 0},
    {L"SeCreateSymbolicLinkPrivilege", 0},
    {L"SeCreateTokenPrivilege", 0},
    {L"SeDebugPrivilege", bit(CAP_SYS_PTRACE)},
    {L"SeDelegateSessionUserImpersonatePrivilege", 0},
    {L"SeEnableDelegationPrivilege", 0},
    {L"SeImpersonatePrivilege", bit(CAP_SETUID) | bit(CAP_SETGID)},
    {L"SeIncreaseBasePriorityPrivilege", bit(CAP_SYS_NICE)},
    {L"SeIncreaseQuotaPrivilege", bit(CAP_SYS_RESOURCE)},
    {L"SeIncreaseWorkingSetPrivilege", bit(CAP_IPC_LOCK)},
    {L"SeLoadDriverPrivilege", bit(CAP_SYS_MODULE)},
    {L"SeLockMemoryPrivilege", bit(CAP_IPC_LOCK)},
    {L"SeMachineAccountPrivilege", 0},
    {L"SeManageVolumePrivilege", bit(CAP_SYS_ADMIN)},
    {L"SeProfileSingleProcessPrivilege", bit(CAP_PERFMON)},
    {L"SeRelabelPrivilege", bit(CAP_MAC_ADMIN)},
    {L"SeRemoteShutdownPrivilege", 0},
    {L"SeRestorePrivilege", bit(CAP_DAC_OVERRIDE) | bit(CAP_FOWNER) | bit(CAP_CHOWN)},
    {L"SeSecurityPrivilege", bit(CAP_AUDIT_CONTROL)},
    {L"SeShutdownPrivilege", bit(CAP_SYS_BOOT)},
    {L"SeSyncAgentPrivilege", 0},
    {L"SeSystemEnvironmentPrivilege", bit(CAP_SYS_ADMIN)},
    {L"SeSystemProfilePrivilege", bit(CAP_PERFMON)},
    {L"SeSystemtimePrivilege", bit(CAP_SYS_TIME)},
    {L"SeTakeOwnershipPrivilege", bit(CAP_CHOWN) | bit(CAP_FOWNER)},
    {L"SeTcbPrivilege", bit(CAP_SYS_ADMIN)},
    {L"SeTimeZonePrivilege", 0},
    {L"SeTrustedCredManAccessPrivilege", 0},
    {L"SeUndockPrivilege", 0},
    {L"SeUnsolicitedInputPrivilege", 0},
};

// Privilege names are looked up without regard to case, as the system does.
const privilege_caps* find_privilege(const std::wstring& name) {
  for (const privilege_caps& p : kPrivileges) {
    const std::size_t n = std::wcslen(p.name);
    if (name.size() != n) continue;
    std::size_t i = 0;
    while (i < n && std::towlower(name[i]) == std::towlower(p.name[i])) ++i;
    if (i == n) return &p;
  }
  return nullptr;
}

int thread_id() { return static_cast<int>(::syscall(SYS_gettid)); }

void log_failure(const char* call, const std::wstring& privilege, unsigned long code) {
  if (!detail::log_enabled(detail::kLogNormal)) return;
  char text[512];
  std::snprintf(text, sizeof text,
                "auto_privilege %s failed. Unable to adjust privilege for %s. Error Code: 0x%lx",
                call, detail::utf8_from_wide(privilege).c_str(), code);
  detail::log_entry(detail::kLogNormal, detail::wide_from_utf8(text));
}

// ---------------------------------------------------------------------------
// Thread capability sets through the raw calls, which a signal handler may
// make. 0 or errno.
// ---------------------------------------------------------------------------
struct cap_sets {
  std::uint64_t effective = 0, permitted = 0;
};

int read_caps(int tid, cap_sets& out) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, tid};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return errno;
  out.effective = data[0].effective | (std::uint64_t{data[1].effective} << 32);
  out.permitted = data[0].permitted | (std::uint64_t{data[1].permitted} << 32);
  return 0;
}

// Raises `up` and lowers `down` in the calling thread's effective set.
int change_own(std::uint64_t up, std::uint64_t down) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return errno;
  for (int i = 0; i < 2; ++i) {
    data[i].effective |= static_cast<std::uint32_t>(up >> (32 * i));
    data[i].effective &= ~static_cast<std::uint32_t>(down >> (32 * i));
  }
  return ::syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

std::vector<int> process_threads() {
  std::vector<int> tids;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') tids.push_back(static_cast<int>(std::strtol(e->d_name, nullptr, 10)));
    ::closedir(d);
  }
  return tids;
}

// ---------------------------------------------------------------------------
// Lowering on another thread: one request at a time, in static storage so a
// handler that runs late never touches freed memory.
// ---------------------------------------------------------------------------
struct lower_request {
  std::atomic<int> target{0};
  std::atomic<std::uint64_t> bits{0};
  std::atomic<int> result{0};
  std::atomic<std::uint32_t> done{0};  // futex word
};
lower_request g_request;

// Lowerings a thread still owes: one that blocked the signal too long was
// reported, but the signal stays queued for it, and when it opens up again
// its handler lowers what is recorded here for it. Filled under lower_on's
// lock (a slot is claimed by storing its thread last), emptied by the
// thread's own handler (the thread cleared last).
struct late_lowering {
  std::atomic<int> tid{0};
  std::atomic<std::uint64_t> bits{0};
};
late_lowering g_late[16];

void owe_lowering(int tid, std::uint64_t bits) {
  for (late_lowering& slot : g_late) {
    if (slot.tid.load(std::memory_order_acquire) != 0) continue;
    slot.bits.store(bits, std::memory_order_relaxed);
    slot.tid.store(tid, std::memory_order_release);
    return;
  }
}

int lower_signal() { return SIGRTMAX - 4; }

// The thread would not take the signal that asks it to lower.
constexpr unsigned long kErrorSignalRefused = 156;

detail::chained_signal g_host_lower_signal;

void lower_handler(int sig, siginfo_t* info, void* context) {
  if (!detail::is_marked(info)) {  // the host's own, or another copy of the library's
    g_host_lower_signal.pass_on(sig, info, context);
    return;
  }
  const int saved = errno;
  int me = thread_id();
  if (g_request.target.compare_exchange_strong(me, -1)) {
    g_request.result.store(change_own(0, g_request.bits.load()));
    g_request.done.store(1);
    ::syscall(SYS_futex, &g_request.done, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
  me = thread_id();
  for (late_lowering& slot : g_late) {
    if (slot.tid.load(std::memory_order_acquire) != me) continue;
    const std::uint64_t bits = slot.bits.load(std::memory_order_relaxed);
    slot.tid.store(0, std::memory_order_release);
    (void)change_own(0, bits);
  }
  errno = saved;
}

// Whether thread `tid` of this process blocks `sig` right now (its status
// file says so; false when it cannot be read).
bool blocks_signal(int tid, int sig) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/status", tid);
  FILE* f = std::fopen(path, "re");
  if (!f) return false;
  char line[256];
  unsigned long long mask = 0;
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "SigBlk:", 7) != 0) continue;
    char* end = nullptr;
    mask = std::strtoull(line + 7, &end, 16);
    found = end != line + 7;
  }
  (void)std::fclose(f);
  return found && (mask >> (sig - 1)) & 1;
}

// Lowers `bits` on thread `tid` of this process; 0 or a Win32 code
// (kErrorSignalRefused: the thread blocks the signal that asks it, and keeps
// them). A thread that has ended has nothing to lower.
unsigned long lower_on(int tid, std::uint64_t bits) {
  if (tid == thread_id()) {
    const int e = change_own(0, bits);
    return e == 0 ? 0 : detail::win32_from_errno(e);
  }
  // Never destroyed: objects may be switched off during static destruction.
  static detail::library_mutex* const lock = new detail::library_mutex;
  std::lock_guard<detail::library_mutex> guard(*lock);
  static const int install_error = [] {
    sigset_t none;
    sigemptyset(&none);
    return g_host_lower_signal.install(lower_signal(), &lower_handler, SA_RESTART, none);
  }();
  if (install_error) return detail::win32_from_errno(install_error);
  g_request.bits.store(bits);
  g_request.done.store(0);
  g_request.target.store(tid);
  if (const int e = detail::send_marked(tid, lower_signal())) {
    g_request.target.store(0);
    return e == ESRCH ? 0 : detail::win32_from_errno(e);
  }
  // A thread that takes signals answers at once. One that blocks this one
  // (the library's threads never need asking: see start_unprivileged) is
  // given a moment to open up again, as a thread inside pthread_create or
  // fork does, and is then reported; one that neither answers nor blocks
  // (stopped, say) is given a few seconds.
  const auto now = [] { return std::chrono::steady_clock::now(); };
  const auto limit = now() + std::chrono::seconds(5);
  auto blocked_since = now();
  bool was_blocked = false;
  const struct timespec slice = {0, 10'000'000};
  unsigned long outcome = 0;
  while (g_request.done.load() == 0) {
    ::syscall(SYS_futex, &g_request.done, FUTEX_WAIT_PRIVATE, 0, &slice, nullptr, 0);
    if (g_request.done.load() != 0) break;
    const bool blocks = blocks_signal(tid, lower_signal());
    if (blocks && !was_blocked) blocked_since = now();
    was_blocked = blocks;
    if (blocks && now() - blocked_since >= std::chrono::milliseconds(100)) {
      outcome = kErrorSignalRefused;
    } else if (now() >= limit) {
      outcome = detail::kErrorTimeout;
    } else {
      continue;
    }
    int expected = tid;
    if (g_request.target.compare_exchange_strong(expected, 0)) {
      owe_lowering(tid, g_request.bits.load());  // its signal is still queued
      return outcome;
    }
    while (g_request.done.load() == 0) {  // the handler is running: it is quick
    }
  }
  const int e = g_request.result.load();
  return e == 0 ? 0 : detail::win32_from_errno(e);
}

// ---------------------------------------------------------------------------
// What every live object raised, process-wide.
// ---------------------------------------------------------------------------
struct raise_record {
  const auto_privilege* by;
  int tid;
  std::uint64_t bits;    // raised on `tid`
  std::uint64_t copied;  // of those, the ones no other thread had effective
  std::vector<int> before;  // the threads that existed at the raise
};

struct raise_table {
  detail::library_mutex lock;
  std::vector<raise_record> records;
  // The `copied` bits of every record, for start_unprivileged to read
  // without the lock. Updated with the lock held.
  std::atomic<std::uint64_t> scoped{0};

  void records_changed() {
    std::uint64_t all = 0;
    for (const raise_record& r : records) all |= r.copied;
    scoped.store(all);
  }
};

// Never destroyed: objects may be switched off during static destruction.
raise_table& raises() {
  static raise_table* t = new raise_table;
  return *t;
}

bool contains(const std::vector<int>& v, int x) {
  for (int y : v)
    if (y == x) return true;
  return false;
}

}  // namespace

namespace detail {

bool may_manage_services() {
  cap_sets caps;
  return read_caps(0, caps) == 0 && (caps.effective & bit(CAP_SYS_ADMIN)) != 0;
}

}  // namespace detail

void auto_privilege::set(bool enable) {
  const privilege_caps* known = find_privilege(_privilege);
  if (!known) {
    SetLastError(detail::kErrorNoSuchPrivilege);
    return;
  }
  const detail::held_lock<std::mutex> serial(_mutex);  // an exported member
  if (!enable) {
    std::vector<raise_record> mine;
    std::uint64_t others = 0;  // what other live objects raised
    {
      raise_table& t = raises();
      std::lock_guard<detail::library_mutex> guard(t.lock);
      for (auto it = t.records.begin(); it != t.records.end();) {
        if (it->by == this) {
          mine.push_back(std::move(*it));
          it = t.records.erase(it);
        } else {
          others |= it->bits;
          ++it;
        }
      }
      t.records_changed();
    }
    unsigned long error = 0;
    auto lower = [&](int tid, std::uint64_t bits) {
      const unsigned long e = lower_on(tid, bits);
      if (e == 0) return;
      error = e;
      if (e == kErrorSignalRefused && detail::log_enabled(detail::kLogNormal))
        detail::log_entry(detail::kLogNormal,
                          L"auto_privilege - thread [" + std::to_wstring(tid) +
                              L"] blocks the signal that lowers privileges; it keeps " +
                              _privilege);
    };
    for (const raise_record& r : mine) {
      lower(r.tid, r.bits);
      const std::uint64_t copied = r.copied & ~others;
      if (copied == 0) continue;
      for (int tid : process_threads()) {
        cap_sets caps;
        if (tid == r.tid || contains(r.before, tid) || read_caps(tid, caps) != 0) continue;
        if (caps.effective & copied) lower(tid, caps.effective & copied);
      }
    }
    if (error != 0) log_failure("AdjustTokenPrivileges", _privilege, error);
    SetLastError(error);
    return;
  }

  // A privilege without a counterpart, or whose capabilities are not all
  // permitted, is not held: nothing is raised and the call reports 1300, as
  // the system's adjustment does for a privilege the token lacks.
  const int tid = thread_id();
  cap_sets caps;
  if (const int e = read_caps(0, caps)) {
    log_failure("OpenThreadToken", _privilege, detail::win32_from_errno(e));
    return;
  }
  const std::uint64_t raise = known->caps & ~caps.effective;
  if (known->caps == 0 || (raise & ~caps.permitted) != 0) {
    SetLastError(detail::kErrorNotAllAssigned);
    return;
  }
  if (raise == 0) {
    SetLastError(0);
    return;
  }
  raise_record record{this, tid, raise, raise, process_threads()};
  for (int other : record.before) {
    cap_sets theirs;
    if (other != tid && read_caps(other, theirs) == 0) record.copied &= ~theirs.effective;
  }
  if (const int e = change_own(raise, 0)) {
    log_failure("AdjustTokenPrivileges", _privilege, detail::win32_from_errno(e));
    SetLastError(detail::win32_from_errno(e));
    return;
  }
  raise_table& t = raises();
  std::lock_guard<detail::library_mutex> guard(t.lock);
  t.records.push_back(std::move(record));
  t.records_changed();
  SetLastError(0);
}

namespace detail {

start_unprivileged::start_unprivileged() {
  const std::uint64_t scoped = raises().scoped.load();
  if (scoped == 0) return;
  cap_sets caps;
  if (read_caps(0, caps) != 0 || (caps.effective & scoped) == 0) return;
  if (change_own(0, caps.effective & scoped) == 0) _lowered = caps.effective & scoped;
}

start_unprivileged::~start_unprivileged() {
  // Only what a scope still in force raised comes back: one that ended
  // meanwhile has lowered, or was about to lower, the rest.
  const std::uint64_t back = _lowered & raises().scoped.load();
  if (back == 0) return;
  // The scope that raised them is still in force and expects them held: a
  // thread that cannot take them back goes on without them, and says so.
  if (const int e = change_own(back, 0); e != 0 && log_enabled(kLogNormal)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "auto_privilege - thread [%d] could not take back capabilities 0x%llx set aside "
                  "while it started a thread. Error Code: 0x%lx",
                  thread_id(), static_cast<unsigned long long>(back), win32_from_errno(e));
    log_entry(kLogNormal, wide_from_utf8(text));
  }
}

}  // namespace detail

}  // namespace krCore
