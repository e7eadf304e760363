// Privileges as Linux capabilities: a privilege name stands for the
// capabilities that grant the same power, and switching it on raises them
// from the calling thread's permitted set into its effective set.
//
// capget/capset act on the calling thread only, which is what a thread
// token is on Windows; the object remembers per thread what it raised so
// that switching off never lowers a capability that was effective before.
#include <krcore/security.h>
#include <sys/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "logging/logsink.h"
#include "security/privileges.h"

namespace krCore {
namespace {


struct privilege_caps {
  const wchar_t* name;
  std::uint64_t caps;
};

constexpr std::uint64_t bit(int cap) { return std::uint64_t{1} << cap; }

const privilege_caps kPrivileges[] = {
    {L"SeBackupPrivilege", bit(CAP_DAC_READ_SEARCH)},
    {L"SeRestorePrivilege", bit(CAP_DAC_OVERRIDE) | bit(CAP_FOWNER) | bit(CAP_CHOWN)},
    {L"SeDebugPrivilege", bit(CAP_SYS_PTRACE)},
    {L"SeShutdownPrivilege", bit(CAP_SYS_BOOT)},
    {L"SeSystemtimePrivilege", bit(CAP_SYS_TIME)},
    {L"SeTakeOwnershipPrivilege", bit(CAP_CHOWN) | bit(CAP_FOWNER)},
    {L"SeLoadDriverPrivilege", bit(CAP_SYS_MODULE)},
    {L"SeIncreaseBasePriorityPrivilege", bit(CAP_SYS_NICE)},
};

const privilege_caps* find_privilege(const std::wstring& name) {
  for (const privilege_caps& p : kPrivileges)
    if (name == p.name) return &p;
  return nullptr;
}

long thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

void log_failure(const char* call, const std::wstring& privilege, unsigned long code) {
  if (!detail::log_enabled(detail::kLogNormal)) return;
  char text[512];
  std::snprintf(text, sizeof text,
                "auto_privilege %s failed. Unable to adjust privilege for %s. Error Code: 0x%lx",
                call, detail::utf8_from_wide(privilege).c_str(), code);
  detail::log_entry(detail::kLogNormal, detail::wide_from_utf8(text));
}

bool has_flag(cap_t caps, int cap, cap_flag_t which) {
  cap_flag_value_t value = CAP_CLEAR;
  return cap_get_flag(caps, cap, which, &value) == 0 && value == CAP_SET;
}

// Sets or clears `bits` in the calling thread's effective set; 0 or the
// Win32 code of the failure.
unsigned long change_effective(cap_t caps, std::uint64_t bits, cap_flag_value_t value) {
  cap_value_t list[64];
  int count = 0;
  for (int cap = 0; cap < 64; ++cap)
    if (bits & bit(cap)) list[count++] = cap;
  if (count == 0) return 0;
  if (cap_set_flag(caps, CAP_EFFECTIVE, count, list, value) != 0 || cap_set_proc(caps) != 0)
    return detail::last_errno_as_win32();
  return 0;
}

}  // namespace

namespace detail {

bool may_manage_services() {
  cap_t caps = cap_get_proc();
  if (!caps) return false;
  const bool admin = has_flag(caps, CAP_SYS_ADMIN, CAP_EFFECTIVE);
  cap_free(caps);
  return admin;
}

}  // namespace detail

auto_privilege::auto_privilege(const std::wstring& privilege) : auto_privilege(privilege, false) {}

auto_privilege::auto_privilege(const std::wstring& privilege, bool openasself)
    : _privilege(privilege), _openAsSelf(openasself) {
  set(true);
}

auto_privilege::~auto_privilege() { set(false); }

void auto_privilege::set(bool enable) {
  const privilege_caps* known = find_privilege(_privilege);
  if (!known) return;
  const long tid = thread_id();
  std::lock_guard<std::mutex> lock(_mutex);
  cap_t caps = cap_get_proc();
  if (!caps) {
    log_failure("OpenThreadToken", _privilege, detail::last_errno_as_win32());
    return;
  }
  auto mine = _raised.begin();
  while (mine != _raised.end() && mine->first != tid) ++mine;
  if (enable) {
    std::uint64_t raise = 0;
    bool missing = false;
    for (int cap = 0; cap < 64; ++cap) {
      if (!(known->caps & bit(cap)) || has_flag(caps, cap, CAP_EFFECTIVE)) continue;
      if (!has_flag(caps, cap, CAP_PERMITTED)) missing = true;
      raise |= bit(cap);
    }
    // All or nothing: a privilege whose capabilities are not all permitted
    // is not held, so none of them is raised.
    const unsigned long error =
        missing ? detail::kErrorNotAllAssigned : change_effective(caps, raise, CAP_SET);
    if (error != 0) {
      log_failure("AdjustTokenPrivileges", _privilege, error);
    } else if (raise != 0) {
      if (mine == _raised.end()) _raised.emplace_back(tid, raise);
      else mine->second |= raise;
    }
  } else if (mine != _raised.end()) {
    const unsigned long error = change_effective(caps, mine->second, CAP_CLEAR);
    if (error != 0) log_failure("AdjustTokenPrivileges", _privilege, error);
    _raised.erase(mine);
  }
  cap_free(caps);
}

}  // namespace krCore
