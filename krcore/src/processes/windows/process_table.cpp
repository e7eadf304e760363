// The process table on Windows: ids and executable names from the system's
// snapshot of its processes, full paths from the processes themselves, and
// the polite close request: WM_CLOSE posted to the process's top-level
// windows.
//
// Names: the image path needs a handle with the limited query right, which
// the system refuses for some processes of other accounts and for its own
// protected ones; the snapshot names every process by its executable's file
// name, so that is the fall-back.
#include <windows.h>
#include <tlhelp32.h>

#include <krcore/holders.h>

#include <string>

#include "foundation/errors.h"
#include "processes/process_table.h"

namespace krCore::detail {
namespace {

std::wstring base_name(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// Calls `visit` with each entry of a fresh snapshot until it returns false.
// 0 or the system's code.
template <class Visit>
unsigned long each_process(Visit visit) {
  auto_closehandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) return ::GetLastError();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!::Process32FirstW(snapshot.get(), &entry)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
  }
  do {
    if (!visit(entry)) return 0;
    entry.dwSize = sizeof entry;
  } while (::Process32NextW(snapshot.get(), &entry));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// The executable's full path as the process's image; 0 or the code.
unsigned long image_path(unsigned long pid, std::wstring& path) {
  auto_closehandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.get()) return ::GetLastError();
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    if (::QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size)) {
      buffer.resize(size);
      path = std::move(buffer);
      return 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 32768) return error;
    buffer.resize(buffer.size() * 2);
  }
}

// The snapshot's name of `pid`; 87 when no process has that id.
unsigned long snapshot_name(unsigned long pid, std::wstring& name) {
  bool found = false;
  const unsigned long error = each_process([&](const PROCESSENTRY32W& entry) {
    if (entry.th32ProcessID != pid) return true;
    name = entry.szExeFile;
    found = true;
    return false;
  });
  if (error) return error;
  return found ? 0ul : static_cast<unsigned long>(kErrorInvalidParameter);
}

BOOL CALLBACK close_window_of(HWND window, LPARAM target) {
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(target)) ::PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

unsigned long list_process_ids(unsigned long* pids, std::size_t capacity, std::size_t& returned) {
  returned = 0;
  return each_process([&](const PROCESSENTRY32W& entry) {
    if (returned == capacity) return false;
    pids[returned++] = entry.th32ProcessID;
    return true;
  });
}

unsigned long process_name(unsigned long pid, bool full, std::wstring& name) {
  std::wstring path;
  if (image_path(pid, path) == 0 && !path.empty()) {
    name = full ? path : base_name(path);
    return 0;
  }
  // The system's own processes and those it will not open are named by the
  // snapshot; a process that is gone is in none.
  return snapshot_name(pid, name);
}

unsigned long process_executable_base_name(unsigned long pid, std::wstring& name) {
  std::wstring path;
  if (const unsigned long error = image_path(pid, path)) return error;
  name = base_name(path);
  return 0;
}

unsigned long post_close_request(HANDLE process) {
  const DWORD pid = ::GetProcessId(process);
  if (pid == 0) return kErrorInvalidHandle;
  return post_close_request_to_pid(pid);
}

// A process without windows gets no request; that is no failure (the
// caller's wait and forced end follow).
unsigned long post_close_request_to_pid(unsigned long pid) {
  if (pid == 0) return static_cast<unsigned long>(kErrorInvalidParameter);
  if (!::EnumWindows(close_window_of, static_cast<LPARAM>(pid))) return ::GetLastError();
  return 0;
}

// The offset of the system's time zone at `when` (seconds since 1970), as
// the process times of a query are shown.
long local_utc_offset_minutes(long long when) {
  // Seconds since 1970 to the system's 100 ns units since 1601.
  const unsigned long long ticks =
      (static_cast<unsigned long long>(when) + 11644473600ull) * 10000000ull;
  FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc_time, local_time;
  FILETIME local{};
  if (!::FileTimeToSystemTime(&utc, &utc_time) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &utc_time, &local_time) ||
      !::SystemTimeToFileTime(&local_time, &local)) {
    TIME_ZONE_INFORMATION zone;
    const DWORD which = ::GetTimeZoneInformation(&zone);
    long bias = zone.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    return -bias;
  }
  const unsigned long long local_ticks =
      (static_cast<unsigned long long>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  return static_cast<long>((static_cast<long long>(local_ticks) - static_cast<long long>(ticks)) /
                           600000000ll);
}

}  // namespace krCore::detail
