// Internal: the threads the library starts itself, and their forced end.
//
// A thread is created held at a start gate, so that its id and waitable
// handle are known to the creator before the thread runs any of its body;
// resume_thread opens the gate. The handle is an ordinary thread handle
// (signalled when the thread has ended, whatever ended it); closing its last
// copy after the thread ended reclaims the thread's stack. terminate_thread
// is the one way the library ends such a thread by force; the worker thread
// and the pools share it. The Linux implementation is in linux/.
#pragma once

#include <krcore/wintypes.h>

#include "foundation/errors.h"
#include "foundation/internal.h"

namespace krCore::detail {

// The body a started thread runs once its gate opens.
typedef unsigned (*thread_body)(void* argument);

// Creates a thread held at its start gate and returns its handle, with the
// thread id in `*id`. Null on failure, with errno set to the platform's
// error number and the last error to its Win32 code.
KRCORE_INTERNAL HANDLE create_thread_gated(thread_body body, void* argument, DWORD* id);

// Opens the start gate of a thread from create_thread_gated. Opening it twice
// does nothing. False with the last error set (6) for any other handle.
KRCORE_INTERNAL bool resume_thread(HANDLE thread);

// How long terminate_thread looks hard for a safe point, and then waits for
// the end to show on the handle.
constexpr DWORD kTerminateGraceMs = 100;

// Ends a thread from create_thread_gated by force and waits until its handle
// is signalled. The thread is ended at a safe point, where it holds none of
// the system's, the runtimes' or this library's locks: inside a wait that
// holds none, or while it runs the program's own code. On Windows, where
// another module's locks cannot be seen, that is the executable's code, or
// one of the system's wait functions the executable called, with nothing
// but the executable's and this library's code below it down to the
// thread's start (a module that called the program back may hold its
// lock); on x86, which keeps no unwind tables to tell the callers, only the
// library's own waits. So host code that waits through another module
// (the threads runtime's std::mutex, condition_variable or sleep_for, the
// message waits, slim locks, WaitOnAddress) is marked, not ended; and a
// host linked with static runtimes has their locks in its own image: link
// them as DLLs. When the thread reaches no safe point within `grace_ms`,
// Linux ends it wherever it is and logs that; Windows, whose system code
// keeps locks of its own, never does: the thread is left marked to end
// itself at its next return to the library, and after some ten seconds
// more the call gives up. A thread past its body, on its way out through
// the runtime's and the system's exit steps, can no longer be taken but
// ends by itself: it is waited for (some ten seconds at most). Returns 0
// when the thread has ended (also when it had ended already), 1460 when it
// could not be ended (it blocks the signal that ends it, on Windows stays
// outside a safe point, or does not get out), 6 for a handle that is not
// such a thread. Objects the thread allocated are lost,
// as with any forced end; mutexes it held become abandoned.
KRCORE_INTERNAL DWORD terminate_thread(HANDLE thread, DWORD grace_ms = kTerminateGraceMs);

// Called by library code between a thread's units of work (after a pool's
// work item returned, before its completion is signalled): ends the calling
// thread at once when a forced end of it was asked for meanwhile, so that a
// thread reported as ended by force does nothing more. Returns otherwise;
// call only where the thread holds no lock.
KRCORE_INTERNAL void end_thread_if_killed();

// True when `id` (an id from create_thread_gated) is the calling thread's.
KRCORE_INTERNAL bool is_current_thread(DWORD id);

}  // namespace krCore::detail
