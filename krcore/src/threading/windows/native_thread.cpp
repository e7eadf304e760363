// The threads the library starts itself on Windows, and their forced end.
//
// A thread is created suspended: the suspension is its start gate, so the
// creator knows its id and handle before it runs any of its body, and
// ResumeThread opens the gate (again on a running thread: nothing happens).
//
// TerminateThread ends a thread wherever it is. Ended inside one of the
// library's locks (kill_hold.h), it would leave that lock held for good;
// ended inside any module's code but the program's own (the system's, the
// C and C++ runtimes', a third party's, this library's), it could leave one
// of that module's locks held, and the next caller of that module would
// wait forever. So the terminator suspends the thread, reads its context
// (which also waits until the suspension has taken hold: SuspendThread
// alone may return while the thread still runs), then its held-region
// count. At a count of 0 the thread is ended while still suspended when it
// stopped in the program's own code (its executable; memory that is no
// image is nobody's known code), or in one of the system's plain waits called through the system's
// wait functions either by the program's own code or by one of the
// library's waits, none of which holds a lock while it sleeps. Otherwise it
// is marked (its t_kill_held_off, written while it is suspended) and let
// go: it ends itself the moment it leaves its next held region or returns
// to the library, before it runs another line of its own code. The
// terminator looks at it again, every millisecond during the grace period
// and less often after; a thread that neither ends itself nor reaches a
// safe point is reported as not ended, never ended where it is.
//
// Each thread keeps a small record, shared by the thread and the table of
// started threads, that holds the address of its count and mark; the record
// outlives whichever of the two lets go of it last.
#include <windows.h>

#include <process.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "foundation/windows/library_wait.h"
#include "logging/logsink.h"
#include "threading/native_thread.h"
#include "threading/timer_slack.h"

namespace krCore::detail {

namespace {

struct thread_block {
  thread_body body = nullptr;
  void* argument = nullptr;
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
};

// Called by the thread before it exits, in whatever way.
void mark_leaving(thread_block* block) {
  if (!block) return;
  block->leaving.store(true, std::memory_order_release);
  block->hold.store(nullptr, std::memory_order_release);
  block->held_off.store(nullptr, std::memory_order_release);
  block->library_wait.store(nullptr, std::memory_order_release);
}

// The started threads that have not ended, by thread id.
class thread_table {
 public:
  void add(DWORD id, const std::shared_ptr<thread_block>& block) {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    _threads[id] = block;
  }
  std::shared_ptr<thread_block> find(DWORD id) {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    const auto it = _threads.find(id);
    return it == _threads.end() ? nullptr : it->second;
  }
  // Only the record given: the id may have been reused meanwhile.
  void remove(DWORD id, const thread_block* block) {
    kill_hold hold;
    const std::lock_guard<std::mutex> lock(_mutex);
    const auto it = _threads.find(id);
    if (it != _threads.end() && it->second.get() == block) _threads.erase(it);
  }

 private:
  std::mutex _mutex;
  std::map<DWORD, std::shared_ptr<thread_block>> _threads;
};

thread_table& threads() {
  static auto* table = new thread_table;  // never destroyed: threads may outlive static destruction
  return *table;
}

thread_local thread_block* t_block = nullptr;

[[noreturn]] void end_calling_thread() {
  mark_leaving(t_block);
  threads().remove(::GetCurrentThreadId(), t_block);
  ::ExitThread(0);
}

// A body may end its thread itself (ExitThread), past the rest of
// thread_start. The system runs the callbacks of fiber-local slots first
// thing as a thread exits, before the runtime frees the thread-local block
// the record points into, so the record is marked there too. The record and
// the start's copy of it are then left allocated: the thread's stack is
// gone without unwinding.
void WINAPI leave_on_exit(void* block) {
  t_block = nullptr;  // already on its way out: the table's lock must not end it again
  mark_leaving(static_cast<thread_block*>(block));
  threads().remove(::GetCurrentThreadId(), static_cast<thread_block*>(block));
}

DWORD leaving_slot() {
  static const DWORD slot = ::FlsAlloc(&leave_on_exit);
  return slot;
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
  threads().remove(::GetCurrentThreadId(), block.get());
  if (slot != FLS_OUT_OF_INDEXES) ::FlsSetValue(slot, nullptr);  // the record goes with `block`
  t_block = nullptr;
  return result;
}

// How long a thread that holds a lock is given to let go of it, and how
// often the terminator looks at it meanwhile.
constexpr DWORD kHeldOffMs = 10000;
constexpr DWORD kHeldOffPollMs = 20;

struct own_handle {
  HANDLE h = nullptr;
  ~own_handle() {
    if (h) ::CloseHandle(h);
  }
};

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

// The address range of a loaded image, from its own headers, which stay
// mapped with it, and on x86-64 its table of function entries (every
// function that is not a leaf has one, with the data to unwind its frame).
// Empty for a null module.
struct image_range {
  std::uintptr_t low = 0, high = 0;
  explicit image_range(HMODULE module = nullptr) {
    if (!module) return;
    const auto base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    low = reinterpret_cast<std::uintptr_t>(base);
    high = low + nt->OptionalHeader.SizeOfImage;
#if defined(_WIN64)
    const IMAGE_DATA_DIRECTORY& table =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    if (table.VirtualAddress && table.Size >= sizeof(RUNTIME_FUNCTION)) {
      _functions = reinterpret_cast<RUNTIME_FUNCTION*>(const_cast<unsigned char*>(base) +
                                                       table.VirtualAddress);
      _function_count = table.Size / sizeof(RUNTIME_FUNCTION);
    }
#endif
  }
  bool contains(std::uintptr_t address) const { return address >= low && address < high; }

#if defined(_WIN64)
  // The entry of the function at `address` (inside the image), or null for a
  // leaf function. The table is sorted; searched here rather than by the
  // system's lookup, which may take a lock the suspended thread holds.
  RUNTIME_FUNCTION* function_at(std::uintptr_t address) const {
    const auto offset = static_cast<DWORD>(address - low);
    std::size_t first = 0, last = _function_count;
    while (first < last) {
      const std::size_t middle = first + (last - first) / 2;
      if (offset < _functions[middle].BeginAddress) {
        last = middle;
      } else if (offset >= _functions[middle].EndAddress) {
        first = middle + 1;
      } else {
        return &_functions[middle];
      }
    }
    return nullptr;
  }

 private:
  RUNTIME_FUNCTION* _functions = nullptr;
  std::size_t _function_count = 0;
#endif
};

// The code a thread may be ended in while it runs: the executable's own
// image. Every other module, the system's, the runtimes', a third party's
// and this library's when it is a DLL of its own, may hold locks of its own
// that an end there would leave held; so may memory that is no image at
// all: a security product's hook runs the system's calls from trampolines
// in private memory, perhaps with the loader's or the heap's lock held. A
// program that links the library's objects has them in its image: there the
// library's code counts as the host's, which is right as long as the
// library counts each lock it holds (kill_hold.h). Collected before any
// thread is suspended, since looking a module up takes the loader's lock,
// which the suspended thread may hold.
class own_code {
 public:
  own_code() : _executable(::GetModuleHandleW(nullptr)) {}
  bool contains(std::uintptr_t address) const { return _executable.contains(address); }

 private:
  image_range _executable;
};

// The system's wait calls a suspended thread may be ended in, and the
// modules of the wait functions that lead to them. Collected before any
// thread is suspended, as above.
class system_waits {
 public:
  system_waits()
      : _kernelbase(::GetModuleHandleW(L"kernelbase.dll")),
        _kernel32(::GetModuleHandleW(L"kernel32.dll")) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    static const char* const kWaits[] = {"NtWaitForSingleObject", "NtWaitForMultipleObjects",
                                         "NtDelayExecution", "NtSignalAndWaitForSingleObject"};
    for (const char* name : kWaits)
      if (FARPROC entry = ntdll ? ::GetProcAddress(ntdll, name) : nullptr)
        _stubs[_count++] = reinterpret_cast<std::uintptr_t>(entry);
  }

  // True when `ip` lies in one of the wait stubs. Each stub only loads the
  // call's number and enters the kernel; they follow each other at a fixed
  // stride (32 bytes on x86-64, 16 on x86), so the bound keeps to one stub.
  bool in_stub(std::uintptr_t ip) const {
#if defined(_WIN64)
    constexpr std::uintptr_t kStubBytes = 32;
#else
    constexpr std::uintptr_t kStubBytes = 16;
#endif
    bool in = false;
    for (std::size_t i = 0; i < _count; ++i) in |= ip - _stubs[i] < kStubBytes;
    return in;
  }

  // For a thread stopped in a wait stub (`context`, read with its control
  // and integer registers): true when the wait was called through the
  // system's wait functions (a lock's own wait is called from ntdll, never
  // counts) and either the thread is inside one of the library's waits or
  // the first caller outside those functions is the host's own code. A
  // module that waits through WaitForSingleObject may hold a lock of its
  // own meanwhile. Reads the thread's stack only above its stack pointer,
  // in frames the calls wrote.
  bool plain_wait(CONTEXT context, bool library_wait, const own_code& own) const {
#if defined(_WIN64)
    DWORD64& ip = context.Rip;
    DWORD64& sp = context.Rsp;
#else
    DWORD& ip = context.Eip;
    DWORD& sp = context.Esp;
#endif
    leave_leaf(ip, sp);  // the stub keeps no frame
    if (!waits_module(ip)) return false;
    if (library_wait) return true;
#if defined(_WIN64)
    // The wait functions call one another (WaitForSingleObject through
    // WaitForMultipleObjectsEx, say): a few frames at most.
    for (int frame = 0; frame < kMaxWaitFrames; ++frame) {
      const image_range* image = waits_module(ip);
      if (!image) return own.contains(ip);
      if (RUNTIME_FUNCTION* function = image->function_at(ip)) {
        void* handler_data = nullptr;
        DWORD64 establisher = 0;
        ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, image->low, ip, function, &context, &handler_data,
                           &establisher, nullptr);
      } else {
        leave_leaf(ip, sp);
      }
    }
    return false;
#else
    // x86 code keeps no unwind tables: who called the wait function is not
    // known for sure, so only the library's own waits count.
    (void)own;
    return false;
#endif
  }

 private:
  static constexpr int kMaxWaitFrames = 8;

  // Returns from a function that keeps no frame: its return address is on
  // top of the stack. `Word` is the context's register type.
  template <class Word>
  static void leave_leaf(Word& ip, Word& sp) {
    ip = static_cast<Word>(*reinterpret_cast<const volatile std::uintptr_t*>(sp));
    sp += sizeof(std::uintptr_t);
  }
  const image_range* waits_module(std::uintptr_t address) const {
    if (_kernelbase.contains(address)) return &_kernelbase;
    if (_kernel32.contains(address)) return &_kernel32;
    return nullptr;
  }

  std::uintptr_t _stubs[4] = {};
  std::size_t _count = 0;
  image_range _kernelbase, _kernel32;
};

// Where a suspended thread stopped.
enum class stop_place { own_code, plain_wait, unsafe, unknown };

// Reads the suspended `thread`'s context, which also waits until the
// suspension has taken hold, and tells where it stopped: unknown when the
// context cannot be read (the thread may then still run). `library_wait` is
// the thread's flag of the library's waits, null before it ran.
stop_place where_stopped(HANDLE thread, const bool* library_wait, const own_code& own,
                         const system_waits& waits) {
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  if (!::GetThreadContext(thread, &context)) return stop_place::unknown;
#if defined(_WIN64)
  const auto ip = static_cast<std::uintptr_t>(context.Rip);
#else
  const auto ip = static_cast<std::uintptr_t>(context.Eip);
#endif
  if (own.contains(ip)) return stop_place::own_code;
  // Only inside a wait stub is the word on top of the stack surely written
  // (by the call that entered it); elsewhere it may be an untouched guard
  // page, which a read from this thread would spoil.
  if (!waits.in_stub(ip)) return stop_place::unsafe;
  const bool in_library_wait =
      library_wait && *static_cast<const volatile bool*>(library_wait);
  return waits.plain_wait(context, in_library_wait, own) ? stop_place::plain_wait
                                                         : stop_place::unsafe;
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
  threads().add(thread_id, block);
  if (id) *id = thread_id;
  return handle;
}

bool resume_thread(HANDLE thread) { return ::ResumeThread(thread) != static_cast<DWORD>(-1); }

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
  // A thread that has ended has left the table, and its id may be another
  // thread's by now: looked up only while it runs.
  if (::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return kErrorSuccess;
  const std::shared_ptr<thread_block> block = threads().find(id);
  if (!block) return kErrorInvalidHandle;
  block->killed.store(true, std::memory_order_release);
  if (id == ::GetCurrentThreadId()) {
    if (t_kill_hold == 0) end_calling_thread();
    t_kill_held_off = true;  // ends when it lets go
    return kErrorSuccess;
  }

  // A handle of our own, so the caller may close theirs meanwhile.
  own_handle own;
  if (!::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &own.h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return kErrorInvalidHandle;
  static const own_code host_code;
  static const system_waits waits;
  const ULONGLONG safe_until = ::GetTickCount64() + grace_ms;
  const ULONGLONG give_up = safe_until + kHeldOffMs;
  bool warned = false;
  for (;;) {
    if (::WaitForSingleObject(own.h, 0) == WAIT_OBJECT_0) break;
    const DWORD suspended_before = ::SuspendThread(own.h);
    if (suspended_before == static_cast<DWORD>(-1)) {
      // The handle lacks the right, or the thread is on its last steps.
      const DWORD error = ::GetLastError();
      if (::WaitForSingleObject(own.h, grace_ms) == WAIT_OBJECT_0) break;
      return not_ended(id, L"could not be suspended", error);
    }
    // The context first: only then is the thread surely stopped. Unread,
    // nothing of the thread is read either: it is looked at again.
    const stop_place place = where_stopped(
        own.h, block->library_wait.load(std::memory_order_acquire), host_code, waits);
    if (place == stop_place::unknown) {
      const DWORD error = ::GetLastError();
      ::ResumeThread(own.h);
      if (::GetTickCount64() >= give_up) return not_ended(id, L"could not be looked at", error);
      ::WaitForSingleObject(own.h, kHeldOffPollMs);
      continue;
    }
    unsigned* hold = block->hold.load(std::memory_order_acquire);
    bool* held_off = block->held_off.load(std::memory_order_acquire);
    if (!hold && block->leaving.load(std::memory_order_acquire)) {
      // On its way out, perhaps inside the loader's lock: let it finish.
      ::ResumeThread(own.h);
      if (::WaitForSingleObject(own.h, kHeldOffMs) != WAIT_OBJECT_0) return kErrorTimeout;
      break;
    }
    const bool held = hold && *static_cast<volatile unsigned*>(hold) != 0;
    // Still behind its start gate it has run nothing; past the gate but
    // before its first step of ours it is in the system's thread start-up
    // (the loader's lock, the runtime's allocations) and is waited for.
    const bool never_ran = !hold && suspended_before != 0;
    if (never_ran || (hold && !held && place != stop_place::unsafe)) {
      // Not started, or outside every held region in its own code or a
      // plain wait.
      if (!::TerminateThread(own.h, 0)) {
        const DWORD error = ::GetLastError();
        ::ResumeThread(own.h);
        return not_ended(id, L"could not be ended", error);
      }
      if (::WaitForSingleObject(own.h, kHeldOffMs) != WAIT_OBJECT_0) return kErrorTimeout;
      break;
    }
    if (!hold) {
      ::ResumeThread(own.h);
      if (::GetTickCount64() >= give_up) return kErrorTimeout;
      ::WaitForSingleObject(own.h, 1);
      continue;
    }
    *static_cast<volatile bool*>(held_off) = true;
    ::ResumeThread(own.h);
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
    ::WaitForSingleObject(own.h, static_cast<DWORD>(left < poll ? left : poll));
  }
  threads().remove(id, block.get());
  return kErrorSuccess;
}

// Windows has no per-thread timer slack: the waits keep the system's timer
// resolution.
bool set_thread_timer_slack(unsigned long) { return false; }

}  // namespace krCore::detail
