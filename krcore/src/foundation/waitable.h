// Internal: the waitable objects behind the library's handles, and the waits
// on them.
//
// Handles are opaque values that name an entry of a process-wide handle
// table. The calls here mirror the platform calls the library's classes were
// written against: they return a handle (null on failure) or a BOOL-like
// result, and report through the thread's last error (SetLastError), so the
// public classes keep their documented error codes. The Linux implementation
// lives in linux/; the kinds of object it knows are in linux/object.h.
#pragma once

#include <krcore/wintypes.h>

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// Wait results.
enum : DWORD {
  kWaitObject0 = 0,
  kWaitAbandoned0 = 0x80,
  kWaitTimedOut = 258,
  kWaitFailed = 0xFFFFFFFF,
};

// The most handles one wait takes.
constexpr DWORD kMaximumWaitObjects = 64;

// Events. `name` empty: private to the process. On success the last error is
// 0, or 183 when a named object already existed (it is then opened; the
// initial state is not applied). A name held by another kind of object fails
// with 6. Null on failure.
KRCORE_INTERNAL HANDLE create_event(bool manual_reset, bool initially_signalled,
                                    const std::wstring& name);
// Sets, resets or pulses an event; false with the last error set on failure
// (6 for a handle that is not an event). Setting an event that nobody waits
// for costs one atomic operation.
KRCORE_INTERNAL bool set_event(HANDLE event);
KRCORE_INTERNAL bool reset_event(HANDLE event);
// Releases one waiting thread if any (all of them for a manual-reset event),
// and leaves the event non-signalled.
KRCORE_INTERNAL bool pulse_event(HANDLE event);

// Semaphores with a maximum count; the naming rules of create_event.
KRCORE_INTERNAL HANDLE create_semaphore(long initial, long maximum, const std::wstring& name);
// Adds `count`; fails with 298 when the maximum would be passed, 87 for a
// count below 1. `previous` (may be null) receives the count before.
KRCORE_INTERNAL bool release_semaphore(HANDLE semaphore, long count, long* previous);

// Mutexes: owned by a thread, recursive, abandoned when the owner thread or
// process ends without releasing. The naming rules of create_event; when the
// mutex already existed, initial ownership is not granted.
KRCORE_INTERNAL HANDLE create_mutex(bool initial_owner, const std::wstring& name);
// Opens an existing named mutex; fails with 2 when there is none.
KRCORE_INTERNAL HANDLE open_mutex(const std::wstring& name);
// Fails with 288 when the calling thread does not own the mutex.
KRCORE_INTERNAL bool release_mutex(HANDLE mutex);

// A time-out in milliseconds as a 32-bit wait takes it: INFINITE stays
// INFINITE, and a longer one (the library's time-outs are `unsigned long`,
// 64 bits here) becomes the longest finite wait instead of its low 32 bits.
constexpr DWORD saturated_wait_ms(unsigned long long ms) {
  if (ms < INFINITE) return static_cast<DWORD>(ms);
  return ms == INFINITE ? INFINITE : INFINITE - 1;
}

// Waits until one of `count` objects is signalled, at most `timeout_ms`
// milliseconds (0xFFFFFFFF: no limit; beyond, as saturated_wait_ms). Returns the index of the object that
// satisfied the wait (the lowest when several are ready; exactly one is
// consumed), kWaitAbandoned0 + index for an abandoned mutex, kWaitTimedOut,
// or kWaitFailed with the last error set (6: invalid or closed handle, 87:
// bad count). Handles may be closed by other threads during the wait.
// This is the building block for waits that add their own sources.
KRCORE_INTERNAL DWORD wait_any(const HANDLE* handles, DWORD count, unsigned long long timeout_ms);

// Closes a handle; false with last error 6 when it is not an open handle.
KRCORE_INTERNAL bool close_handle(HANDLE handle);

// A new handle to the same object; null with last error 6 on a bad handle.
KRCORE_INTERNAL HANDLE duplicate_handle(HANDLE handle);

// How many threads wait on the object of `handle` now (a snapshot; a waiter
// counts from shortly before it sleeps until it leaves the wait), 0 for a
// bad handle. Lets a test know that a waiter is asleep before it acts.
KRCORE_INTERNAL unsigned waiter_count(HANDLE handle);

// ---------------------------------------------------------------------------
// Thread handles: signalled when the thread has ended, whatever ended it.
// ---------------------------------------------------------------------------

// A new handle to the calling thread. The thread's record is made on the
// first request, so this works for threads the library did not start. The
// caller closes the handle.
KRCORE_INTERNAL HANDLE current_thread_handle();

// For threads the library starts: make the record (and a handle to it)
// before the thread exists; the new thread calls thread_record_enter(record)
// first thing. Until then the handle is not signalled. If the thread could
// not be started, thread_record_abandon(record) signals the handle. Exactly
// one of the two is called per record.
struct thread_record;
KRCORE_INTERNAL HANDLE thread_record_create(thread_record** record);
KRCORE_INTERNAL void thread_record_enter(thread_record* record);
KRCORE_INTERNAL void thread_record_abandon(thread_record* record);

}  // namespace krCore::detail
