// Process enumeration, names, waiting for an end, and the three ways of
// terminating: by id, by executable name, and a child by handle. Every
// termination asks first (the platform's polite request), waits, and only
// then ends the process by force; each step is logged.
#include <krcore/processes.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <thread>

#include "foundation/errors.h"
#include "processes/proc_log.h"
#include "processes/process_table.h"

namespace krCore {

using namespace detail;

namespace {

constexpr DWORD kTerminateAccess = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
                                   PROCESS_TERMINATE;
constexpr unsigned int kChildKillCode = 1067;

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

std::wstring error_text(unsigned long code) { return geterrormessage(code); }

// Closes a process handle at the end of a scope.
struct handle_closer {
  HANDLE h;
  ~handle_closer() {
    if (h) CloseHandle(h);
  }
};

}  // namespace

unsigned long EnumerateProcesses(std::vector<unsigned long>& pids) {
  if (pids.empty()) pids.resize(4096);
  for (;;) {
    std::size_t returned = 0;
    const unsigned long error = list_process_ids(pids.data(), pids.size(), returned);
    if (error) {
      pids.clear();
      return error;
    }
    if (returned < pids.size()) {
      pids.resize(returned);
      return 0;
    }
    if (pids.size() > pids.max_size() / 2) return kErrorInvalidParameter;
    try {
      pids.resize(pids.size() * 2);
    } catch (const std::bad_alloc&) {
      return kErrorInvalidParameter;
    }
  }
}

unsigned long GetProcessNameFromHandle(void* process, std::wstring& name, bool fullPath,
                                       bool throwOnError) {
  const DWORD pid = GetProcessId(process);
  unsigned long error = pid ? 0 : GetLastError();
  if (pid && !fullPath) {
    error = process_executable_base_name(pid, name);
    if (error == 0) return 0;
    log_if(kLogError, [&] {
      return L"GetProcessNameFromHandle() - GetModuleBaseName() failed for Process handle [0x" +
             handle_text(process) + L"], error code [" + std::to_wstring(error) + L"] -" +
             error_text(error);
    });
  }
  if (pid) error = process_name(pid, fullPath, name);
  if (error == 0) return 0;
  const std::wstring text = L"GetProcessNameFromHandle() failed for Process handle [0x" +
                            handle_text(process) + L"], error code [" + std::to_wstring(error) +
                            L"] -" + error_text(error);
  log_if(kLogError, [&]() -> const std::wstring& { return text; });
  if (throwOnError) throw krException(error, text, 4);
  return error;
}

unsigned long GetProcessName(unsigned long pid, std::wstring& name, bool fullPath,
                             bool throwOnError) {
  // The process table answers by id directly; a handle would only add a
  // descriptor per name.
  unsigned long error = pid <= 0x7FFFFFFFul ? process_name(pid, fullPath, name)
                                            : static_cast<unsigned long>(kErrorInvalidParameter);
  if (error == 0) return 0;
  const std::wstring text = L"GetProcessName() failed for PID [" + std::to_wstring(pid) +
                            L"], error code [" + std::to_wstring(error) + L"] -" + error_text(error);
  log_if(kLogError, [&]() -> const std::wstring& { return text; });
  if (throwOnError) throw krException(error, text, 4);
  return error;
}

std::wstring GetProcessName(unsigned long pid, bool fullPath) {
  std::wstring name;
  GetProcessName(pid, name, fullPath, true);
  return name;
}

std::wstring GetProcessNameNoThrow(unsigned long pid, bool fullPath) {
  try {
    return GetProcessName(pid, fullPath);
  } catch (const krException& e) {
    log_if(kLogError, [&] {
      return L"GetProcessNameNoThrow - exception caught retrieving process name, returning empty "
             L"string. (0x" + hex_text(e.code()) + L")";
    });
  } catch (...) {
    log_if(kLogError, [] {
      return std::wstring(L"GetProcessNameNoThrow - exception caught retrieving process name, "
                          L"returning empty string. (0x80004005)");
    });
  }
  return std::wstring();
}

namespace {

// A child of ours whose status the host collected first: it has ended, with
// a code nobody can tell (GetExitCodeProcess fails with this).
constexpr DWORD kErrorWaitNoChildren = 128;

// True when `process` has ended, its exit code in `code` when known.
bool has_ended(void* process, DWORD& code) {
  if (GetExitCodeProcess(process, &code)) return code != STILL_ACTIVE;
  return GetLastError() == kErrorWaitNoChildren;
}

}  // namespace

bool WaitProcessExit(void* process, unsigned long waitMs, int loops) {
  const DWORD wait = waitMs > 0xFFFFFFFFul ? INFINITE : static_cast<DWORD>(waitMs);
  for (int i = 1; i <= loops; ++i) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
      const DWORD error = GetLastError();
      if (error == kErrorWaitNoChildren) return true;
      log_if(kLogNormal, [&] {
        return L"WaitProcessExit - process handle [0x" + handle_text(process) +
               L"], GetExitCodeProcess failed with error [0x" + hex_text(error) + L"], loop (" +
               std::to_wstring(i) + L") of {" + std::to_wstring(loops) + L")";
      });
      return false;
    }
    if (code != STILL_ACTIVE) return true;
    const DWORD result = WaitForSingleObject(process, wait);
    if (result != 0 && result != kWaitTimeout)
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    if (has_ended(process, code)) return true;
  }
  return false;
}

bool WaitProcessExitAndLog(void* process, unsigned long waitMs, int loops, const wchar_t* prefix,
                           const wchar_t* name, unsigned long pid, unsigned long terminateError) {
  const bool ended = WaitProcessExit(process, waitMs, loops);
  const std::wstring p = prefix ? prefix : L"";
  const std::wstring n = name ? name : L"";
  const std::wstring id = std::to_wstring(static_cast<int>(pid));
  log_if(kLogNormal, [&] {
    if (ended && terminateError)
      return p + L" TerminateProcess failed [0x" + hex_text(terminateError) +
             L"] HOWEVER the process is no longer active: " + n + L" with PID: " + id + L".";
    if (ended) return p + L" the process (" + n + L") with PID: " + id + L" is no longer active.";
    return p + L" Process (" + n + L") with PID (" + id + L") failed to be terminated. Error Code: [0x" +
           hex_text(terminateError) + L"] : " + error_text(terminateError);
  });
  return ended;
}

BOOL terminateappenum(HWND window, long pid) {
  if (pid > 0 && reinterpret_cast<std::uintptr_t>(window) == static_cast<std::uintptr_t>(pid))
    post_close_request_to_pid(static_cast<unsigned long>(pid));
  return 1;
}

bool terminateprocessbyid(unsigned long pid, unsigned long waitMs) {
  const std::wstring id = std::to_wstring(pid);
  log_if(kLogNormal, [&] {
    return L"krCore::terminateprocessbyid() called to terminate process with PID (" + id +
           L"), wait (" + std::to_wstring(waitMs) + L")";
  });
  // Signalling needs no privilege to be switched on here: the capabilities
  // that allow it (CAP_KILL) are in effect whenever the process holds them.
  log_if(kLogNormal, [&] {
    return L"krCore::terminateprocessbyid() attempted to enable SE_DEBUG to terminate process with "
           L"ID (" + id + L").";
  });
  bool result = false;
  unsigned long error = 0;
  HANDLE h = pid <= 0xFFFFFFFFul ? OpenProcess(kTerminateAccess, 0, static_cast<DWORD>(pid)) : nullptr;
  if (!h) {
    error = pid <= 0xFFFFFFFFul ? static_cast<unsigned long>(GetLastError()) : static_cast<unsigned long>(kErrorInvalidParameter);
    if (error == kErrorInvalidParameter && pid != 0) {
      log_if(kLogNormal, [&] {
        return L"krCore::terminateprocessbyid() OpenProcess failed while attempting to terminate "
               L"process with ID (" + id + L") but we assume that process does not exist. Error "
               L"Code: 0x" + hex_text(error);
      });
      result = true;
      error = 0;
    } else {
      log_if(kLogError, [&] {
        return L"krCore::terminateprocessbyid() OpenProcess failed while attempting to terminate "
               L"process with ID (" + id + L"). Error Code: 0x" + hex_text(error);
      });
    }
  } else {
    handle_closer closer{h};
    const unsigned long close_error = post_close_request(h);
    const DWORD wait = waitMs > 0xFFFFFFFFul ? INFINITE : static_cast<DWORD>(waitMs);
    if (WaitForSingleObject(h, wait) == 0) {
      result = true;
      log_if(kLogNormal, [&] {
        return L"krCore::terminateprocessbyid() waited for process to terminate after sending a "
               L"WM_CLOSE for 2 seconds and the process with ID (" + id + L") terminated.";
      });
    } else {
      const unsigned long kill_error = TerminateProcess(h, 0) ? 0 : GetLastError();
      result = WaitProcessExitAndLog(h, waitMs, 5, L"terminateprocessbyid -", L"", pid, kill_error);
      if (!result) error = kill_error ? kill_error : close_error ? close_error : kWaitTimeout;
    }
  }
  if (result)
    log_if(kLogNormal,
           [&] { return L"terminateprocessbyid() - Process with PID (" + id + L") was terminated."; });
  SetLastError(static_cast<DWORD>(result ? 0 : error));
  return result;
}

bool terminateprocessbyname(const std::wstring& name, unsigned long waitMs) {
  const std::wstring wanted = lower(name);
  log_if(kLogNormal, [&] {
    return L"krCore::terminateprocessbyname - called to terminate process with name (" + name +
           L"), wait (" + std::to_wstring(waitMs) + L")";
  });
  std::vector<unsigned long> pids;
  if (const unsigned long error = EnumerateProcesses(pids)) {
    log_if(kLogError, [&] {
      return L"terminateprocessbyname::EnumProcesses() failed. Error Code: " + std::to_wstring(error);
    });
    SetLastError(static_cast<DWORD>(error));
    return false;
  }
  const DWORD wait = waitMs > 0xFFFFFFFFul ? INFINITE : static_cast<DWORD>(waitMs);
  bool all_ended = true;
  unsigned long last_error = 0;
  for (unsigned long pid : pids) {
    HANDLE h = OpenProcess(kTerminateAccess, 0, static_cast<DWORD>(pid));
    if (!h) continue;
    handle_closer closer{h};
    std::wstring found;
    if (process_executable_base_name(pid, found) != 0 && process_name(pid, false, found) != 0)
      continue;
    if (lower(found) != wanted) continue;
    const unsigned long close_error = post_close_request(h);
    unsigned long kill_error = 0;
    if (WaitForSingleObject(h, wait) != 0) kill_error = TerminateProcess(h, 0) ? 0 : GetLastError();
    if (WaitProcessExitAndLog(h, waitMs, 1, L"terminateprocessbyname() -", found.c_str(), pid,
                              kill_error)) {
      log_if(kLogNormal, [&] {
        return L"Process (" + found + L") with PID (" + std::to_wstring(pid) + L") was terminated.";
      });
    } else {
      all_ended = false;
      last_error = kill_error ? kill_error : close_error ? close_error : kWaitTimeout;
    }
  }
  // A 64-bit build never runs under WOW64, so there is no second process
  // list to search.
  log_if(kLogNormal,
         [] { return std::wstring(L"terminateprocessbyname() Checking if running in WOW64 returned: false"); });
  SetLastError(static_cast<DWORD>(all_ended ? 0 : last_error));
  return all_ended;
}

bool terminate_child_process(void* process, unsigned long pid, bool sendClose,
                             unsigned long waitMs) {
  const std::wstring head = L"krCore::terminate_child_process() ";
  const std::wstring ids =
      L"Handle (" + handle_text(process) + L"), PID (" + std::to_wstring(pid) + L")";
  log_if(kLogVerbose, [&] {
    return head + L"called to terminate process with " + ids + L", send WM_CLOSE (" +
           (sendClose ? L"1" : L"0") + L"), wait (" + std::to_wstring(waitMs) + L") ms";
  });
  const bool sent = pid != 0 && sendClose;
  if (sent) post_close_request_to_pid(pid);
  if (waitMs != 0) {
    const DWORD code = WaitForSingleObject(process, waitMs > 0xFFFFFFFFul ? INFINITE : static_cast<DWORD>(waitMs));
    if (code != 0)
      log_if(kLogWarning, [&] {
        return head + L"- Child process with " + ids +
               (sent ? L" failed to respond to WM_CLOSE after (" : L" failed shutdown after (") +
               std::to_wstring(waitMs) + L") ms. Wait code (" + std::to_wstring(code) + L")";
      });
  }
  DWORD exit_code = 0;
  if (has_ended(process, exit_code)) {
    log_if(kLogVerbose, [&] {
      return head + L"- process with " + ids + L" exited with code (" + std::to_wstring(exit_code) + L")";
    });
    SetLastError(0);
    return true;
  }
  const unsigned long kill_error = TerminateProcess(process, kChildKillCode) ? 0 : GetLastError();
  const bool ended = WaitProcessExitAndLog(process, waitMs, 1, L"krCore::terminate_child_process() -",
                                           L"", pid, kill_error);
  SetLastError(static_cast<DWORD>(ended ? 0 : kill_error ? kill_error : kWaitTimeout));
  return ended;
}

bool terminate_child_process(const PROCESS_INFORMATION& info, unsigned long waitMs) {
  return terminate_child_process(info.hProcess, info.dwProcessId, true, waitMs);
}

}  // namespace krCore
