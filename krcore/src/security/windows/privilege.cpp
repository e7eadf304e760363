// Privileges on Windows: auto_privilege enables a privilege the token holds
// (AdjustTokenPrivileges) and disables it again at the end of its scope,
// unless it was enabled before. The token is the thread's while it
// impersonates, else the process's; raises of the process token are counted
// process-wide, so that overlapping scopes on several threads leave it
// enabled until the last of them ends.
#include <windows.h>

#include <krcore/holders.h>
#include <krcore/security.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "security/privileges.h"
#include "security/text.h"
#include "security/windows/token.h"

namespace krCore {
namespace detail {

bool may_manage_services() {
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_ALL_ACCESS);
  if (!manager) return false;
  ::CloseServiceHandle(manager);
  return true;
}

}  // namespace detail

namespace {

constexpr DWORD kAdjust = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

void log_failure(const wchar_t* call, const std::wstring& privilege, unsigned long code) {
  wchar_t tail[32];
  std::swprintf(tail, 32, L". Error Code: 0x%lx", code);
  detail::log_at(detail::kLogNormal, L"auto_privilege " + std::wstring(call) +
                                         L" failed. Unable to adjust privilege for " + privilege +
                                         tail);
}

std::uint64_t pack(const LUID& luid) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(luid.HighPart)) << 32) |
         luid.LowPart;
}

LUID unpack(std::uint64_t value) {
  LUID luid;
  luid.LowPart = static_cast<DWORD>(value & 0xFFFFFFFFu);
  luid.HighPart = static_cast<LONG>(value >> 32);
  return luid;
}

// How many live scopes keep each privilege of the process token enabled.
detail::library_mutex g_counts_lock;
std::map<std::uint64_t, int>& process_counts() {
  static std::map<std::uint64_t, int> counts;
  return counts;
}

// Sets one privilege's state; 0 or the Win32 code (1300 when the token does
// not hold it). `was_enabled` tells what it was before.
unsigned long adjust(HANDLE token, const LUID& luid, bool enable, bool& was_enabled) {
  TOKEN_PRIVILEGES change{};
  change.PrivilegeCount = 1;
  change.Privileges[0].Luid = luid;
  change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  TOKEN_PRIVILEGES previous{};
  DWORD size = sizeof previous;
  if (!::AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &size))
    return ::GetLastError();
  if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) return detail::kErrorNotAllAssigned;
  // The previous state lists the privilege only when the call changed it.
  was_enabled = previous.PrivilegeCount == 0 ||
                (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  return 0;
}

// The token a raise was made on: the process's (thread 0) or the thread's.
HANDLE token_of(long thread) {
  HANDLE token = nullptr;
  if (thread == 0) {
    ::OpenProcessToken(::GetCurrentProcess(), kAdjust, &token);
    return token;
  }
  auto_closehandle handle(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(thread)));
  if (handle.get()) ::OpenThreadToken(handle.get(), kAdjust, TRUE, &token);
  return token;
}

}  // namespace

void auto_privilege::set(bool enable) {
  const detail::held_lock<std::mutex> serial(_mutex);  // an exported member
  if (!enable) {
    unsigned long failed = 0;
    for (const auto& [thread, value] : _raised) {
      // Held over the change too, so a raise on another thread cannot find
      // the privilege enabled and then see it disabled under it.
      std::unique_lock<detail::library_mutex> counts_lock(g_counts_lock, std::defer_lock);
      if (thread == 0) {
        counts_lock.lock();
        if (--process_counts()[value] > 0) continue;
        process_counts().erase(value);
      }
      auto_closehandle token(token_of(thread));
      bool was = false;
      const unsigned long error =
          token.get() ? adjust(token.get(), unpack(value), false, was) : ::GetLastError();
      if (error != 0) {
        log_failure(token.get() ? L"AdjustTokenPrivileges" : L"OpenThreadToken", _privilege, error);
        failed = error;
      }
    }
    _raised.clear();
    ::SetLastError(failed);
    return;
  }

  DWORD error = 0;
  const wchar_t* call = nullptr;
  auto_closehandle token(detail::open_own_token(kAdjust, _openAsSelf, error, call));
  if (!token.get()) {
    log_failure(call, _privilege, error);
    ::SetLastError(error);
    return;
  }
  // open_own_token names a call only when it fell back to the process's token.
  const bool impersonating = call == nullptr;
  LUID luid;
  if (!::LookupPrivilegeValueW(nullptr, _privilege.c_str(), &luid)) {
    ::SetLastError(detail::kErrorNoSuchPrivilege);
    return;
  }
  const long owner = impersonating ? static_cast<long>(::GetCurrentThreadId()) : 0;
  // The count is taken before the change, so a lowering on another thread
  // cannot come between them.
  std::unique_lock<detail::library_mutex> counts_lock(g_counts_lock, std::defer_lock);
  if (owner == 0) counts_lock.lock();
  bool was_enabled = false;
  const unsigned long rc = adjust(token.get(), luid, true, was_enabled);
  if (rc == detail::kErrorNotAllAssigned) {
    ::SetLastError(rc);
    return;
  }
  if (rc != 0) {
    log_failure(L"AdjustTokenPrivileges", _privilege, rc);
    ::SetLastError(rc);
    return;
  }
  if (owner == 0) {
    auto found = process_counts().find(pack(luid));
    if (!was_enabled || found != process_counts().end()) {
      ++process_counts()[pack(luid)];
      _raised.emplace_back(0, pack(luid));
    }
  } else if (!was_enabled) {
    _raised.emplace_back(owner, pack(luid));
  }
  ::SetLastError(0);
}

}  // namespace krCore
