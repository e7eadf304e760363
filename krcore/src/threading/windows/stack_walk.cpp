// The judgement of a suspended library thread's stack, for the forced end
// on Windows: may the thread be ended where it stands?
//
// A thread ended while any module's code but the program's own is on its
// stack could leave one of that module's locks held, and the module may
// hold its lock while it calls the program back, so every frame counts,
// not just the innermost. On x86-64 the frames are unwound with each
// module's own table of function entries (.pdata), searched here and
// stepped with RtlVirtualUnwind, and nothing outside the thread's committed
// stack is read: the system's own lookup of function entries may take a
// lock that the suspended thread holds. On x86, which keeps no unwind
// tables, no walk is made and only the library's flagged waits count.
//
// All that the judgement knows of the process's code (the images' ranges,
// their tables, the system's wait stubs and wait functions) is collected
// once, before any thread is suspended, since looking modules and exports
// up takes the loader's lock.
#include "threading/windows/stack_walk.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace krCore::detail {

namespace {

// The address range of a loaded image, from its own headers, which stay
// mapped with it, and on x86-64 its table of function entries (every
// function that is not a leaf has one, with the data to unwind its frame).
// Empty for a null module.
struct image_range {
  HMODULE module = nullptr;
  std::uintptr_t low = 0, high = 0;
  explicit image_range(HMODULE image = nullptr) : module(image) {
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

}  // namespace

// What the judgement of a suspended thread knows of the process's code,
// collected once before any thread is suspended: looking a module or an
// export up takes the loader's lock, which the suspended thread may hold.
//
// The program's own code is its executable image. Every other module, the
// system's, the runtimes', a third party's and this library's when it is a
// DLL of its own, may hold locks of its own that an end there would leave
// held; so may memory that is no image at all: a security product's hook
// runs the system's calls from trampolines in private memory, perhaps with
// the loader's or the heap's lock held. A program that links the library's
// objects has them in its image: there the library's code counts as the
// host's, which is right as long as the library counts each lock it holds
// (kill_hold.h).
//
// The system's plain waits are ntdll's wait stubs as the wait functions of
// kernelbase and kernel32 call them; those functions hold no lock while
// they sleep, unlike, say, OutputDebugStringA, which waits with a mutex of
// its own held.
class stack_judge::code_map {
 public:
  explicit code_map(const void* thread_start)
      : _executable(::GetModuleHandleW(nullptr)),
        _library(module_of(thread_start)),
        _kernelbase(::GetModuleHandleW(L"kernelbase.dll")),
        _kernel32(::GetModuleHandleW(L"kernel32.dll")) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    static const char* const kStubs[] = {"NtWaitForSingleObject", "NtWaitForMultipleObjects",
                                         "NtDelayExecution", "NtSignalAndWaitForSingleObject"};
    for (const char* name : kStubs)
      if (FARPROC entry = ntdll ? ::GetProcAddress(ntdll, name) : nullptr)
        _stubs[_stub_count++] = reinterpret_cast<std::uintptr_t>(entry);
    static const char* const kWaits[] = {
        "WaitForSingleObject",      "WaitForSingleObjectEx", "WaitForMultipleObjects",
        "WaitForMultipleObjectsEx", "SleepEx",               "Sleep",
        "SignalObjectAndWait"};
    for (const HMODULE module : {_kernelbase.module, _kernel32.module})
      for (const char* name : kWaits)
        if (FARPROC entry = module ? ::GetProcAddress(module, name) : nullptr)
          _waits[_wait_count++] = reinterpret_cast<std::uintptr_t>(entry);
#if defined(_WIN64)
    _start = _library.function_at(reinterpret_cast<std::uintptr_t>(thread_start));
    if (ntdll)
      _query_thread = reinterpret_cast<query_thread_call>(
          reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtQueryInformationThread")));
#endif
  }

#if defined(_WIN64)
  // The thread information block of `thread` (which tells the bounds of
  // its stack), from the system's basic information on the thread; null
  // when the handle may not ask. A system call that takes no lock.
  const void* teb_of(HANDLE thread) const {
    struct basic_information {
      LONG exit_status;
      void* teb;
      void* client_id[2];
      ULONG_PTR affinity;
      LONG priority, base_priority;
    } info{};
    constexpr int kBasicInformation = 0;
    if (!_query_thread || _query_thread(thread, kBasicInformation, &info, sizeof info, nullptr) < 0)
      return nullptr;
    return info.teb;
  }
#endif

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
    for (std::size_t i = 0; i < _stub_count; ++i) in |= ip - _stubs[i] < kStubBytes;
    return in;
  }
  bool own(std::uintptr_t ip) const { return _executable.contains(ip); }
  // The image of the program's or the library's code that holds `ip`.
  const image_range* ours(std::uintptr_t ip) const {
    if (_executable.contains(ip)) return &_executable;
    if (_library.contains(ip)) return &_library;
    return nullptr;
  }
  // The image of the system's wait functions that holds `ip`.
  const image_range* system(std::uintptr_t ip) const {
    if (_kernelbase.contains(ip)) return &_kernelbase;
    if (_kernel32.contains(ip)) return &_kernel32;
    return nullptr;
  }
  bool is_wait_function(std::uintptr_t begin) const {
    bool is = false;
    for (std::size_t i = 0; i < _wait_count; ++i) is |= begin == _waits[i];
    return is;
  }
#if defined(_WIN64)
  bool is_thread_start(const RUNTIME_FUNCTION* function) const {
    return function && function == _start;
  }
#endif

 private:
  static HMODULE module_of(const void* address) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<LPCWSTR>(address), &module);
    return module;
  }

  image_range _executable, _library, _kernelbase, _kernel32;
  std::uintptr_t _stubs[4] = {};
  std::size_t _stub_count = 0;
  std::uintptr_t _waits[14] = {};
  std::size_t _wait_count = 0;
#if defined(_WIN64)
  typedef LONG(WINAPI* query_thread_call)(HANDLE, int, void*, ULONG, ULONG*);
  const RUNTIME_FUNCTION* _start = nullptr;
  query_thread_call _query_thread = nullptr;
#endif
};

namespace {

#if defined(_WIN64)
// Deep enough for any stack the library's threads run; a deeper one is
// judged unsafe rather than walked on.
constexpr int kMaxFrames = 256;

// True when every frame of the suspended thread (`context`) from the top
// down to the library's thread start may be ended: the top in the program's
// own code, or in a wait stub called through the system's wait functions
// themselves; every caller below in the program's or the library's code.
// A frame anywhere else (another module, which may hold a lock of its own
// and have called back, memory that is no image), or one that cannot be
// unwound, makes it unsafe.
bool every_frame_safe(CONTEXT context, const void* teb, const stack_judge::code_map& code) {
  const stack_bounds stack(teb);
  int frames = 0;
  bool top = true;
  if (code.in_stub(context.Rip)) {
    if (!unwind_frame(context, 0, nullptr, stack)) return false;  // the stub keeps no frame
    top = false;
    // The wait functions call one another (WaitForSingleObject through
    // WaitForMultipleObjectsEx, say) and helpers of their own; what counts
    // is the one the caller below called. A lock's own wait is called from
    // ntdll, and a function that waits while it holds a lock of its own is
    // no wait function: either ends the walk as unsafe.
    std::uintptr_t called = 0;
    while (const image_range* image = code.system(context.Rip)) {
      RUNTIME_FUNCTION* function = image->function_at(context.Rip);
      if (!function || ++frames > kMaxFrames ||
          !unwind_frame(context, image->low, function, stack))
        return false;
      called = image->low + function->BeginAddress;
    }
    if (called && !code.is_wait_function(called)) return false;
  } else if (!code.own(context.Rip)) {
    return false;
  }
  for (; frames <= kMaxFrames; ++frames) {
    const image_range* image = code.ours(context.Rip);
    if (!image) return false;
    RUNTIME_FUNCTION* function = image->function_at(context.Rip);
    if (code.is_thread_start(function)) return true;
    // Only the top function may be a leaf: a caller has made a call.
    if ((!function && !top) || !unwind_frame(context, image->low, function, stack)) return false;
    top = false;
  }
  return false;
}
#endif

}  // namespace

#if defined(_WIN64)
stack_bounds::stack_bounds(const void* teb) {
  const auto* tib = static_cast<const volatile NT_TIB*>(teb);
  low = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  high = reinterpret_cast<std::uintptr_t>(tib->StackBase);
}

bool unwind_frame(CONTEXT& context, std::uintptr_t image_base, RUNTIME_FUNCTION* function,
                  const stack_bounds& stack) {
  const DWORD64 sp = context.Rsp;
  if (!stack.holds(sp)) return false;
  if (function) {
    void* handler_data = nullptr;
    DWORD64 establisher = 0;
    ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context,
                       &handler_data, &establisher, nullptr);
  } else {
    context.Rip = *reinterpret_cast<const volatile DWORD64*>(sp);
    context.Rsp = sp + sizeof(DWORD64);
  }
  return context.Rsp > sp && stack.holds(context.Rsp);
}
#endif

stack_judge::stack_judge(const void* thread_start)
    : _code(std::make_unique<const code_map>(thread_start)) {}

stack_judge::~stack_judge() = default;

const void* stack_judge::teb_of(HANDLE thread) const {
#if defined(_WIN64)
  return _code->teb_of(thread);
#else
  (void)thread;
  return nullptr;
#endif
}

bool stack_judge::safe_place(const CONTEXT& context, const void* teb,
                             const bool* library_wait) const {
  const code_map& code = *_code;
#if defined(_WIN64)
  (void)library_wait;
  return teb && every_frame_safe(context, teb, code);
#else
  // x86 code keeps no unwind tables: who called the code the thread stands
  // in, perhaps another module with a lock of its own, is not known. Only a
  // wait the library flagged as its own is.
  (void)teb;
  return library_wait && *static_cast<const volatile bool*>(library_wait) &&
         code.in_stub(context.Eip);
#endif
}

}  // namespace krCore::detail
