// The library's waitable objects on Windows: the system's own events,
// semaphores and mutexes.
//
// On Linux these calls are backed by the library's handle table; here a
// handle is the system's handle, so the library's classes, the waits of
// callers and the system's own waits all see the same objects. The calls
// keep the contract of waitable.h: a null handle or FALSE on failure, with
// the thread's last error set by the system.
#include <windows.h>

#include "foundation/waitable.h"
#include "foundation/windows/library_wait.h"

namespace krCore::detail {

thread_local bool t_library_wait = false;

namespace {

// Null for an unnamed object: an empty name would make a distinct, named
// object on some systems.
const wchar_t* object_name(const std::wstring& name) { return name.empty() ? nullptr : name.c_str(); }

}  // namespace

HANDLE create_event(bool manual_reset, bool initially_signalled, const std::wstring& name) {
  return ::CreateEventW(nullptr, manual_reset, initially_signalled, object_name(name));
}

bool set_event(HANDLE event) { return ::SetEvent(event) != FALSE; }
bool reset_event(HANDLE event) { return ::ResetEvent(event) != FALSE; }
bool pulse_event(HANDLE event) { return ::PulseEvent(event) != FALSE; }

HANDLE create_semaphore(long initial, long maximum, const std::wstring& name) {
  return ::CreateSemaphoreW(nullptr, initial, maximum, object_name(name));
}

bool release_semaphore(HANDLE semaphore, long count, long* previous) {
  LONG before = 0;
  if (!::ReleaseSemaphore(semaphore, count, &before)) return false;
  if (previous) *previous = before;
  return true;
}

HANDLE create_mutex(bool initial_owner, const std::wstring& name) {
  return ::CreateMutexW(nullptr, initial_owner, object_name(name));
}

HANDLE open_mutex(const std::wstring& name) {
  return ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
}

bool release_mutex(HANDLE mutex) { return ::ReleaseMutex(mutex) != FALSE; }

DWORD wait_any(const HANDLE* handles, DWORD count, unsigned long long timeout_ms) {
  // Holds none of the library's locks (a caller that does has counted it in
  // kill_hold.h): a forced end may end the thread here.
  const library_wait_scope waiting;
  return ::WaitForMultipleObjects(count, handles, FALSE, saturated_wait_ms(timeout_ms));
}

bool close_handle(HANDLE handle) { return ::CloseHandle(handle) != FALSE; }

HANDLE duplicate_handle(HANDLE handle) {
  HANDLE copy = nullptr;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, handle, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    // The contract's one failure code, whatever the system said.
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return copy;
}

}  // namespace krCore::detail
