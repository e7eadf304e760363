// Thread message queues (global namespace, with the names and results of the
// platform calls): posting to a thread, peeking at the calling thread's
// queue, and the wait on handles and the queue together. A thread gets its
// queue when it first peeks or waits for messages; the queue ends with the
// thread and drops what it still holds. Thread ids are the system's thread
// ids (gettid), as EasyThreadImpl's ThreadID reports them. On Windows these
// are the system's own calls (<windows.h>), declared there.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#if !defined(_WIN32)
extern "C" {

// Appends a message to the queue of thread `thread_id` and wakes the thread
// if it waits for input. FALSE with last error 1444 when no thread of this
// process with that id has a queue (it never peeked or waited, or it ended),
// 1816 when the queue already holds 10000 messages. Thread-safe; never
// blocks on the receiver.
KRCORE_API BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);

// Copies the oldest message of the calling thread's queue whose number lies
// in [`first`, `last`] (both 0: any message) into `*msg`, and removes it when
// `remove` has PM_REMOVE. FALSE when there is none. `hwnd` must be null or
// (HWND)-1 (thread messages): there are no windows, so any other value finds
// nothing (last error 1400). Creates the calling thread's queue. Counts as a
// look at the queue for MsgWaitForMultipleObjects.
KRCORE_API BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove);

// WaitForMultipleObjects over `count` (0 to 63) handles plus the calling
// thread's queue: returns the index of a signalled handle (the lowest wins
// over everything, also over input), `count` when a message was posted to
// the thread since it last peeked or since a wait last returned `count`
// (messages left in the queue after that do not end a wait), 0x80 + index,
// 258 on time-out, or 0xFFFFFFFF with the last error set (87 for `wait_all`
// TRUE, a count above 63, or a `wake_mask` without QS_POSTMESSAGE /
// QS_ALLPOSTMESSAGE and no handles). Posted messages are the only input
// here; QS_ALLINPUT covers them. Creates the calling thread's queue.
KRCORE_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                           DWORD milliseconds, DWORD wake_mask);

}  // extern "C"
#endif  // !_WIN32
