// The threads the library starts itself on Windows, and their forced end.
//
// A thread is created suspended: the suspension is its start gate, so the
// creator knows its id and handle before it runs any of its body, and
// resume_thread opens the gate with ResumeThread, once: the thread's own
// flag, not its suspend count, tells whether the gate is open, since a
// terminator, a debugger or a profiler may suspend it as well.
//
// TerminateThread ends a thread wherever it is. Ended inside one of the
// library's locks (kill_hold.h), it would leave that lock held for good;
// ended while any module's code but the program's own (the system's, the
// C and C++ runtimes', a third party's, this library's) is on its stack, it
// could leave one of that module's locks held, and the next caller of that
// module would wait forever: the innermost frame is not enough, a module
// may hold its lock while it calls the program back. So the terminator
// suspends the thread, reads its context (which also waits until the
// suspension has taken hold: SuspendThread alone may return while the
// thread still runs), then its held-region count. At a count of 0 the
// thread is ended while still suspended when, on x86-64, every frame from
// the top down to the library's thread start is the program's own code or
// the library's, the top one being the program's own code (its executable;
// memory that is no image is nobody's known code) or one of the system's
// plain waits called through the system's wait functions themselves, which
// hold no lock while they sleep. The frames are unwound with the modules'
// own tables, read inside the thread's stack only (stack_walk.cpp). On
// x86, which keeps no unwind tables, only the library's own flagged waits
// count. Otherwise it is marked and let go: it ends itself at its next
// return to the library's loop, or, when it was inside a held region, as it
// leaves that region, before it runs another line of its own code. The
// terminator looks at it again, every millisecond during the grace period
// and less often after; a thread that neither ends itself nor reaches a
// safe point is reported as not ended, never ended where it is.
//
// Each thread keeps a small record, shared by the thread and the table of
// started threads, that holds the address of its count and mark; the record
// outlives whichever of the two lets go of it last. The table keeps a thread
// until it has really ended, past the end of its body and the runtime's and
// the system's exit steps that follow: a thread on its way out is still
// ours, and is waited for rather than taken for a stranger.
#include <windows.h>

#include <process.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "diagnostics/windows/unhandled_filter.h"
#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "foundation/windows/library_wait.h"
#include "logging/line_slot.h"
#include "logging/logsink.h"
#include "threading/native_thread.h"
#include "threading/timer_slack.h"
#include "threading/windows/stack_walk.h"

namespace krCore::detail {

namespace {

struct thread_block {
  thread_body body = nullptr;
  void* argument = nullptr;
  DWORD id = 0;  // set before the gate opens
  // The thread's count and mark: set by the thread first thing, null while
  // it has not run and again once it leaves. Both live in the thread's
  // thread-local block, which the runtime frees as the thread exits, before
  // its handle is signalled: read only while the thread is suspended.
  std::atomic<unsigned*> hold{nullptr};
  std::atomic<bool*> held_off{nullptr};
  // Its flag of the library's waits (foundation/windows/library_wait.h),
  // alike.
  std::atomic<bool*> library_wait{nullptr};
  // The thread is on its way out (set before the pointers are cleared).
  std::atomic<bool> leaving{false};
  // A forced end was asked for.
  std::atomic<bool> killed{false};
  // resume_thread opened the start gate (set before it resumes the thread,
  // once): until then the thread has run nothing, whatever else suspends
  // it meanwhile.
  std::atomic<bool> gate_opened{false};
};

// Called by the thread before it exits, in whatever way.
void mark_leaving(thread_block* block) {
  if (!block) return;
  block->leaving.store(true, std::memory_order_release);
  block->hold.store(nullptr, std::memory_order_release);
  block->held_off.store(nullptr, std::memory_order_release);
  block->library_wait.store(nullptr, std::memory_order_release);
}

struct handle_closer {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
typedef std::unique_ptr<void, handle_closer> owned_handle;

// The started threads, by thread id, from their creation until they have
// ended. Each entry holds a handle of its own to the thread: the system
// gives a thread's id to no other thread while a handle to it is open, so
// an id found here is always the listed thread's, however long ago that
// thread ended. Threads that have ended are let go when the next thread is
// added (or when a forced end or the library's unload sees them ended); a
// forced end lets go of the thread it ended.
class thread_table {
 public:
  thread_table() = default;
  thread_table(const thread_table&) = delete;
  thread_table& operator=(const thread_table&) = delete;

  // Lists the thread `id` with `block`; `handle` (the table's own, with the
  // right to wait) is the table's to close from now on.
  void add(DWORD id, const std::shared_ptr<thread_block>& block, HANDLE handle) {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    std::erase_if(_threads, [](const auto& entry) { return entry.second.ended(); });
    _threads[id] = entry{block, owned_handle(handle)};
  }
  std::shared_ptr<thread_block> find(DWORD id) {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    const auto it = _threads.find(id);
    return it == _threads.end() ? nullptr : it->second.block;
  }
  // Only the record given: the entry may be another thread's by now, when
  // the one asked for was let go and its id reused.
  void remove(DWORD id, const thread_block* block) {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    const auto it = _threads.find(id);
    if (it != _threads.end() && it->second.block.get() == block) _threads.erase(it);
  }
  // Lets go of every thread that has ended, however it ended; true when no
  // thread is left.
  bool let_go_of_ended() {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    std::erase_if(_threads, [](const auto& entry) { return entry.second.ended(); });
    return _threads.empty();
  }

 private:
  struct entry {
    std::shared_ptr<thread_block> block;
    owned_handle handle;
    // The thread's end shows on the handle, however it ended: by itself,
    // through ExitThread, or by someone else's TerminateThread. (A handle
    // that is signalled answers every later forced end with 0 before the
    // table is asked, and a terminator that still holds the record lets go
    // of its own entry only.)
    bool ended() const { return ::WaitForSingleObject(handle.get(), 0) == WAIT_OBJECT_0; }
  };

  std::mutex _mutex;
  std::map<DWORD, entry> _threads;
};

thread_table& threads() {
  static auto* table = new thread_table;  // never destroyed: threads may outlive static destruction
  return *table;
}

thread_local thread_block* t_block = nullptr;

[[noreturn]] void end_calling_thread() {
  mark_leaving(t_block);
  ::ExitThread(0);
}

// A body may end its thread itself (ExitThread), past the rest of
// thread_start. The system runs the callbacks of fiber-local slots first
// thing as a thread exits, before the runtime frees the thread-local block
// the record points into, so the record is marked there too. The record and
// the start's copy of it are then left allocated: the thread's stack is
// gone without unwinding. Called on another thread (the slot is being
// freed, see release_slot), it does nothing: the record's thread is gone.
void WINAPI leave_on_exit(void* block) {
  auto* record = static_cast<thread_block*>(block);
  if (record->id != ::GetCurrentThreadId()) return;
  t_block = nullptr;  // on its way out: nothing may end it a second time
  mark_leaving(record);
}

// The fiber-local slot whose callback is leave_on_exit: taken as the first
// thread starts, given back as the library is unloaded (release_slot).
std::atomic<DWORD> g_leaving_slot{FLS_OUT_OF_INDEXES};

DWORD leaving_slot() {
  DWORD slot = g_leaving_slot.load(std::memory_order_acquire);
  if (slot != FLS_OUT_OF_INDEXES) return slot;
  const DWORD fresh = ::FlsAlloc(&leave_on_exit);
  if (fresh == FLS_OUT_OF_INDEXES || g_leaving_slot.compare_exchange_strong(slot, fresh))
    return fresh;
  ::FlsFree(fresh);  // another thread's start took one first; nobody holds a value in this one
  return slot;
}

// Gives the slot back when no thread of the library is left. Freeing a slot
// runs its callback, on the freeing thread, for every thread that still
// holds a value in it: only threads ended by force, which never cleared
// theirs, and whose records are never freed.
void release_slot() {
  DWORD slot = g_leaving_slot.load(std::memory_order_acquire);
  if (slot == FLS_OUT_OF_INDEXES || !threads().let_go_of_ended()) return;
  if (g_leaving_slot.compare_exchange_strong(slot, FLS_OUT_OF_INDEXES)) ::FlsFree(slot);
}

unsigned __stdcall thread_start(void* start) {
  const std::unique_ptr<std::shared_ptr<thread_block>> owner(
      static_cast<std::shared_ptr<thread_block>*>(start));
  const std::shared_ptr<thread_block> block = *owner;
  t_block = block.get();
  const DWORD slot = leaving_slot();
  if (slot != FLS_OUT_OF_INDEXES) ::FlsSetValue(slot, block.get());
  block->library_wait.store(&t_library_wait, std::memory_order_release);
  block->held_off.store(&t_kill_held_off, std::memory_order_release);
  block->hold.store(&t_kill_hold, std::memory_order_release);
  const unsigned result = block->body(block->argument);
  mark_leaving(block.get());
  if (slot != FLS_OUT_OF_INDEXES) ::FlsSetValue(slot, nullptr);  // the record goes with `block`
  t_block = nullptr;
  return result;
}

// How long a thread that holds a lock is given to let go of it, and how
// often the terminator looks at it meanwhile.
constexpr DWORD kHeldOffMs = 10000;
constexpr DWORD kHeldOffPollMs = 20;

void warn(const std::wstring& text) {
  if (log_enabled(kLogWarning)) log_entry(kLogWarning, text);
}

// The answer for a thread the system would not let us suspend, look at or
// end (`error` is the system's code): it runs on, as one that reached no
// safe point.
DWORD not_ended(DWORD id, const wchar_t* what, DWORD error) {
  warn(L"terminate_thread - thread [" + std::to_wstring(id) + L"] " + what + L", error [" +
       std::to_wstring(error) + L"]");
  return kErrorTimeout;
}

// Reads the suspended `thread`'s context, which also waits until the
// suspension has taken hold; false when it cannot be read (the thread may
// then still run).
bool read_context(HANDLE thread, CONTEXT& context) {
  context = CONTEXT{};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  return ::GetThreadContext(thread, &context) != FALSE;
}

}  // namespace

HANDLE create_thread_gated(thread_body body, void* argument, DWORD* id) {
  auto block = std::make_shared<thread_block>();
  block->body = body;
  block->argument = argument;
  auto* start = new std::shared_ptr<thread_block>(block);
  unsigned thread_id = 0;
  const auto handle = reinterpret_cast<HANDLE>(
      ::_beginthreadex(nullptr, 0, &thread_start, start, CREATE_SUSPENDED, &thread_id));
  if (!handle) {
    const int err = errno;
    delete start;
    ::SetLastError(win32_from_errno(err));
    errno = err;
    return nullptr;
  }
  HANDLE listed = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &listed,
                         SYNCHRONIZE, FALSE, 0)) {
    // Not listed, it could never be ended or resumed: it goes before it ran.
    const DWORD error = ::GetLastError();
    ::TerminateThread(handle, 0);
    ::WaitForSingleObject(handle, INFINITE);
    ::CloseHandle(handle);
    delete start;
    ::SetLastError(error);
    errno = ENOMEM;
    return nullptr;
  }
  block->id = thread_id;
  threads().add(thread_id, block, listed);
  if (id) *id = thread_id;
  return handle;
}

bool resume_thread(HANDLE thread) {
  const DWORD id = ::GetThreadId(thread);
  const std::shared_ptr<thread_block> block = id ? threads().find(id) : nullptr;
  if (!block) {
    // Ended already (it ran, or was ended before it did): nothing to open.
    if (id && ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return true;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // Resumed once only: a second resume would undo a terminator's (or a
  // debugger's) suspension instead.
  if (block->gate_opened.exchange(true)) return true;
  if (::ResumeThread(thread) != static_cast<DWORD>(-1)) return true;
  block->gate_opened = false;
  return false;
}

bool is_current_thread(DWORD id) { return ::GetCurrentThreadId() == id; }

void end_thread_if_killed() {
  if (t_block && t_kill_hold == 0 && t_block->killed.load(std::memory_order_acquire))
    end_calling_thread();
}

void end_held_off_kill() {
  t_kill_held_off = false;
  end_thread_if_killed();
}

DWORD terminate_thread(HANDLE thread, DWORD grace_ms) {
  const DWORD id = ::GetThreadId(thread);
  if (!id) return kErrorInvalidHandle;
  if (::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return kErrorSuccess;
  // The caller's handle keeps the id the thread's: the entry found, if any,
  // is this thread's.
  const std::shared_ptr<thread_block> block = threads().find(id);
  if (!block) return kErrorInvalidHandle;
  block->killed.store(true, std::memory_order_release);
  if (id == ::GetCurrentThreadId()) {
    if (block->leaving.load(std::memory_order_acquire)) return kErrorSuccess;  // ending already
    if (t_kill_hold == 0) end_calling_thread();
    t_kill_held_off = true;  // ends when it lets go
    return kErrorSuccess;
  }

  // A handle of our own, so the caller may close theirs meanwhile.
  HANDLE duplicate = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return kErrorInvalidHandle;
  const owned_handle own(duplicate);
  const HANDLE h = own.get();
  static const stack_judge judge(reinterpret_cast<const void*>(&thread_start));
  const void* const teb = judge.teb_of(h);
  const ULONGLONG safe_until = ::GetTickCount64() + grace_ms;
  const ULONGLONG give_up = safe_until + kHeldOffMs;
  bool warned = false;
  for (;;) {
    if (::WaitForSingleObject(h, 0) == WAIT_OBJECT_0) break;
    // On its way out (its body returned or it called ExitThread), perhaps
    // inside the loader's lock: it ends by itself and is only waited for.
    if (block->leaving.load(std::memory_order_acquire)) {
      if (::WaitForSingleObject(h, kHeldOffMs) != WAIT_OBJECT_0) return kErrorTimeout;
      break;
    }
    const DWORD suspended_before = ::SuspendThread(h);
    if (suspended_before == static_cast<DWORD>(-1)) {
      // The handle lacks the right, or the thread is on its last steps.
      const DWORD error = ::GetLastError();
      if (block->leaving.load(std::memory_order_acquire)) continue;
      if (::WaitForSingleObject(h, grace_ms) == WAIT_OBJECT_0) break;
      return not_ended(id, L"could not be suspended", error);
    }
    // The context first: only then is the thread surely stopped. Unread,
    // nothing of the thread is read either: it is looked at again.
    CONTEXT context;
    if (!read_context(h, context)) {
      const DWORD error = ::GetLastError();
      ::ResumeThread(h);
      if (::GetTickCount64() >= give_up) return not_ended(id, L"could not be looked at", error);
      ::WaitForSingleObject(h, kHeldOffPollMs);
      continue;
    }
    // It may have set out on its way since it was last asked. Leaving is
    // set before its pointers are cleared: asked first.
    if (block->leaving.load(std::memory_order_acquire)) {
      ::ResumeThread(h);
      continue;
    }
    unsigned* hold = block->hold.load(std::memory_order_acquire);
    bool* held_off = block->held_off.load(std::memory_order_acquire);
    const bool* library_wait = block->library_wait.load(std::memory_order_acquire);
    const bool held = hold && *static_cast<volatile unsigned*>(hold) != 0;
    // Still behind its start gate it has run nothing; past the gate but
    // before its first step of ours it is in the system's thread start-up
    // (the loader's lock, the runtime's allocations) and is waited for.
    // Only the gate's own flag tells which: anyone may suspend a thread.
    const bool never_ran = !hold && !block->gate_opened.load();
    if (never_ran || (hold && !held && judge.safe_place(context, teb, library_wait))) {
      // Not started, or outside every held region in its own code or a
      // plain wait.
      if (!::TerminateThread(h, 0)) {
        const DWORD error = ::GetLastError();
        ::ResumeThread(h);
        return not_ended(id, L"could not be ended", error);
      }
      // Ended: the table lets go of it. The end shows on the handle soon;
      // a handle that may not be waited on (or a slow end) changes nothing
      // of that.
      threads().remove(id, block.get());
      ::WaitForSingleObject(h, kHeldOffMs);
      return kErrorSuccess;
    }
    if (!hold) {
      ::ResumeThread(h);
      if (::GetTickCount64() >= give_up) return kErrorTimeout;
      ::WaitForSingleObject(h, 1);
      continue;
    }
    // Inside a held region it ends as it leaves it. Outside every one it
    // may stand in another module, which may call into the library and
    // leave a held region with its own lock held: `killed` alone ends it,
    // at the library's loop boundaries (end_thread_if_killed).
    if (held) *static_cast<volatile bool*>(held_off) = true;
    ::ResumeThread(h);
    // Logged only now: nothing may allocate while the thread is suspended.
    if (held && !warned) {
      warned = true;
      warn(L"terminate_thread - thread [" + std::to_wstring(id) +
           L"] holds a lock; it ends when it lets go");
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now >= give_up) {
      warn(L"terminate_thread - thread [" + std::to_wstring(id) +
           L"] reached no safe point; it ends at its next return to the library");
      return kErrorTimeout;
    }
    const DWORD poll = held || now >= safe_until ? kHeldOffPollMs : 1;
    const ULONGLONG left = give_up - now;
    ::WaitForSingleObject(h, static_cast<DWORD>(left < poll ? left : poll));
  }
  threads().remove(id, block.get());
  return kErrorSuccess;
}

// Windows has no per-thread timer slack: the waits keep the system's timer
// resolution.
bool set_thread_timer_slack(unsigned long) { return false; }

}  // namespace krCore::detail

// The library's entry as a DLL (a program that links its objects never
// calls it). Unloaded by FreeLibrary (`reserved` null), it gives back its
// fiber-local slots, which a host that loads and unloads it again and again
// would otherwise run out of, and the fault handlers it added to the
// process; at the end of the process (`reserved` not null) other threads
// may have been stopped anywhere, and nothing is given back.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && !reserved) {
    krCore::detail::release_fault_handlers();
    krCore::detail::release_line_slots();
    krCore::detail::release_slot();
  }
  return TRUE;
}
