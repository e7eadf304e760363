// The processes family: process handles and children, enumeration and
// names, waiting for and terminating processes, and a small management-query
// layer (boot time, up-time, the process list) with the types its callers use.
//
// Linux processes have no windows: the polite request to end ("close your
// windows") is SIGTERM, and the forced end is SIGKILL. A process handle owns
// a process descriptor (pidfd) and joins the library's waits like any other
// handle: it is signalled once the process has ended.
#pragma once

#include <krcore/foundation.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Platform types and constants of the process and query interfaces. A
// Windows build takes them from the system headers.
// ---------------------------------------------------------------------------
#if !defined(_WIN32)

#ifndef STILL_ACTIVE
#define STILL_ACTIVE 259u
#endif
#ifndef PROCESS_TERMINATE
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define SYNCHRONIZE 0x00100000u
#endif
#ifndef WM_CLOSE
#define WM_CLOSE 0x0010u
#endif

// A child the library started: its process handle, a thread handle (always
// null here: the main thread is not a separate object), and the ids (the
// main thread's id equals the process id on Linux). Plain data, not
// synchronised; it reports no errors of its own (the call that fills it
// does).
struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

// Variant types the query layer delivers.
typedef unsigned short VARTYPE;
typedef wchar_t* BSTR;
#ifndef VT_EMPTY
#define VT_EMPTY 0
#define VT_NULL 1
#define VT_I4 3
#define VT_BSTR 8
#define VT_BOOL 11
#define VT_UI4 19
#define VT_I8 20
#define VT_UI8 21
#endif

// A tagged value: `vt` says which member holds it. A VT_BSTR value owns its
// text (SysAllocString); VariantClear frees it. Plain data, not
// synchronised; it reports no errors of its own (see the functions below).
struct VARIANT {
  VARTYPE vt;
  unsigned short wReserved1, wReserved2, wReserved3;
  union {
    long long llVal;
    unsigned long long ullVal;
    int lVal;
    unsigned int ulVal;
    short boolVal;
    BSTR bstrVal;
  };
};

extern "C" {
// Text owned by a variant: a copy of `text` (null for a null text), freed by
// SysFreeString. Thread-safe.
KRCORE_API BSTR SysAllocString(const wchar_t* text);
KRCORE_API void SysFreeString(BSTR text);
// Empties a variant without freeing (use on fresh storage).
KRCORE_API void VariantInit(VARIANT* value);
// Frees what the variant owns and leaves it VT_EMPTY. Returns 0.
KRCORE_API long VariantClear(VARIANT* value);
}  // extern "C"

// Query-layer HRESULTs.
#ifndef WBEM_S_FALSE
#define WBEM_S_FALSE 1L
#define WBEM_FLAG_FORWARD_ONLY 0x20L
#define WBEM_INFINITE (-1L)
#define WBEM_E_NOT_FOUND static_cast<long>(static_cast<int>(0x80041002u))
#define WBEM_E_INVALID_CLASS static_cast<long>(static_cast<int>(0x80041010u))
#define WBEM_E_INVALID_QUERY static_cast<long>(static_cast<int>(0x80041017u))
#define WBEM_E_INVALID_QUERY_TYPE static_cast<long>(static_cast<int>(0x80041018u))
#define RPC_C_AUTHN_LEVEL_DEFAULT 0ul
#define RPC_C_IMP_LEVEL_IMPERSONATE 3ul
#endif

// A reference-counted object of the query layer. AddRef and Release are
// thread-safe (the count is atomic) and return the new count; Release frees
// the object with its last reference. Neither fails.
class KRCORE_API IUnknown {
 public:
  virtual unsigned long AddRef() = 0;
  virtual unsigned long Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

// One result object: its properties by name (compared ignoring case). Only
// the properties the query selected are present. Get only reads the
// object, so several threads may call it at once.
class KRCORE_API IWbemClassObject : public IUnknown {
 public:
  // Copies the property into `value` (which the caller clears later);
  // `type` and `flavor` (may be null) receive the variant type and 0.
  // Returns 0, WBEM_E_NOT_FOUND for a property the object lacks, or
  // 0x80004003 for a null `name` or `value`.
  virtual long Get(const wchar_t* name, long flags, VARIANT* value, long* type,
                   long* flavor) = 0;
  long Get(const wchar_t* name, VARIANT* value) { return Get(name, 0, value, nullptr, nullptr); }
};

// A forward-only sequence of result objects. Next advances it without a
// lock: one thread at a time.
class KRCORE_API IEnumWbemClassObject : public IUnknown {
 public:
  // Hands out up to `count` next objects (each with a reference for the
  // caller) and their number in `returned`. Returns 0 when `count` came,
  // WBEM_S_FALSE when fewer (the end), 0x80070057 for bad arguments. The
  // time-out is accepted and ignored: the objects are ready at once.
  virtual long Next(long timeout, unsigned long count, IWbemClassObject** objects,
                    unsigned long* returned) = 0;
};

#else
#include <wbemidl.h>
#endif  // !_WIN32

// Holds one reference to a query-layer object and releases it at its end.
// Not thread-safe; one owner. Never throws: reference counting does not
// fail.
template <class T>
class CComPtr {
 public:
  CComPtr() = default;
  CComPtr(T* p) : p(p) {
    if (p) p->AddRef();
  }
  CComPtr(const CComPtr& other) : CComPtr(other.p) {}
  // The new reference is taken before the old is released, so assignment to
  // itself keeps the object alive.
  CComPtr& operator=(const CComPtr& other) {  // NOLINT(bugprone-unhandled-self-assignment)
    if (other.p) other.p->AddRef();
    Release();
    p = other.p;
    return *this;
  }
  ~CComPtr() { Release(); }
  void Release() {
    T* old = p;
    p = nullptr;
    if (old) old->Release();
  }
  // Takes over a reference without adding one.
  void Attach(T* object) {
    Release();
    p = object;
  }
  T* Detach() {
    T* old = p;
    p = nullptr;
    return old;
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
  operator T*() const { return p; }
  bool operator!() const { return p == nullptr; }

  T* p = nullptr;
};

#if !defined(_WIN32)

// ---------------------------------------------------------------------------
// Process handles (global namespace, with the names and results of the
// platform calls). All are thread-safe.
// ---------------------------------------------------------------------------

extern "C" {

// A handle to process `pid`. Of the access mask only PROCESS_TERMINATE is
// checked: the caller must be allowed to signal the process, else null with
// last error 5 at once; for the rest what a caller may do is decided when it
// acts. Null with last error 87 for pid 0 or a process that does not exist;
// other failures carry their code.
// Close it with CloseHandle. A wait notices the process's end within about
// 10 ms (the descriptor is polled in short slices).
KRCORE_API HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);

// The exit code: 259 (STILL_ACTIVE) while the process runs. Once it ended:
// the code asked for in TerminateProcess when that call ended it (the first
// such call through any handle for a child the library started, a call
// through this handle for other processes); for a
// child the library started, its exit status (128 + the signal number when a
// signal ended it); for another process, the code the kernel still shows
// while its parent has not collected it, else 0. FALSE with last error 6 for
// a handle that is not a process, 128 for a child of the library whose
// status the host collected first (a SIGCHLD handler that reaps every
// child, or SIGCHLD ignored): its code is unknown, and none is made up.
KRCORE_API BOOL GetExitCodeProcess(HANDLE process, DWORD* code);

// Ends the process at once (SIGKILL) and remembers `code` as its exit code.
// FALSE with last error 5 when the process may not be signalled, 6 for a
// handle that is not a process. Ending a process that already ended succeeds.
KRCORE_API BOOL TerminateProcess(HANDLE process, unsigned int code);

// The process id behind a process handle; 0 with last error 6 otherwise.
KRCORE_API DWORD GetProcessId(HANDLE process);

// Starts a child. `application` (may be null) is the program's path; the
// command line is split by the Windows rules (quotes, backslashes) into the
// arguments, its first one being argv[0] and, without `application`, the
// program (looked up in PATH when it has no slash). `directory` (may be null)
// is the child's working directory. The attribute, inheritance, flag,
// environment and start-up arguments are accepted and ignored: the child
// inherits the caller's environment. Fills `info` (the caller closes
// hProcess). The child is held from its start (its process descriptor is
// made with it, so a quick child is never lost to a host that collects
// children), and collected once a handle sees its end; one whose last
// handle closes while it still runs is collected by the library when it
// ends. FALSE with
// the last error (2: program not found, 5: not executable, 87: no program
// given).
KRCORE_API BOOL CreateProcessW(const wchar_t* application, wchar_t* command_line,
                               void* process_attributes, void* thread_attributes,
                               BOOL inherit_handles, DWORD creation_flags, void* environment,
                               const wchar_t* directory, void* startup_info,
                               PROCESS_INFORMATION* info);

}  // extern "C"

#endif  // !_WIN32

namespace krCore {

// ---------------------------------------------------------------------------
// Management queries. Thread-safe; each call sets up the component stand-in
// (ComInitialize) on the calling thread for its duration.
// ---------------------------------------------------------------------------

// Runs a "SELECT <props|*> FROM <class>" query (keywords and names ignore
// case) and calls `handler` with each result object until it returns a
// non-zero status (which is returned) or a false continue flag. Classes:
// Win32_OperatingSystem (LastBootUpTime, Caption), the performance class
// Win32_PerfFormattedData_PerfOS_System (SystemUpTime, seconds),
// Win32_Process (Caption, Name, ProcessID, ExecutablePath). Returns 0,
// 0x80004005 for an empty handler, WBEM_E_INVALID_QUERY for bad syntax,
// WBEM_E_INVALID_CLASS, WBEM_E_NOT_FOUND for an unknown property, or the
// security set-up's failure. Every failure is logged at error level.
KRCORE_API long ExecuteWmiQuery(
    const std::wstring& query,
    std::function<std::pair<long, bool>(CComPtr<IWbemClassObject>&)> handler,
    unsigned long coInitFlags, unsigned long authnLevel, unsigned long impLevel);

// The boot time as a date-time text "yyyymmddHHMMSS.mmmmmm+UUU" (local time,
// UTC offset in minutes). Returns 0 or the query's failure.
KRCORE_API long GetLastBootUpTime(std::wstring& text);
// Whole seconds since boot, time in suspend included. 0 or the failure.
KRCORE_API long GetSystemUpTime(unsigned long long& seconds);
// The same for callers whose 64-bit count is `unsigned long` (std::uint64_t).
KRCORE_API long GetSystemUpTime(unsigned long& seconds);
// Every process's id and name (caption). 0 or the failure.
KRCORE_API unsigned long enumerateprocessesbynamex64withpid(std::map<int, std::wstring>& processes);

// The moment `milliseconds` before now as "yyyymmddHHMMSS.mmm000" in UTC,
// followed by the local zone's offset from UTC in minutes with its sign
// ("+60", "-300", "+0"; the zone as TZ and the zone database give it now).
// Empty (and an error line in the log) for a moment before the year 1601.
KRCORE_API std::wstring SinceToDatetimeStr(unsigned long long milliseconds);

// ---------------------------------------------------------------------------
// Enumeration and names. Thread-safe.
// ---------------------------------------------------------------------------

// Fills `pids` with the ids of every process. The vector's current size (4096
// when empty) is the first capacity; it is doubled until all ids fit. 0, or a
// Win32 code with the vector emptied; 87 when it cannot grow.
KRCORE_API unsigned long EnumerateProcesses(std::vector<unsigned long>& pids);

// The process's executable name (with `fullPath`, its full path as the kernel
// gives it, a " (deleted)" mark removed). A process whose executable may not
// be read (another user's) is named by the first argument of its command
// line, then by its 15-character kernel name. Returns 0 or the error (87 for
// a process that does not exist), logged at error level; `throwOnError`
// throws krException with that code instead.
KRCORE_API unsigned long GetProcessName(unsigned long pid, std::wstring& name, bool fullPath,
                                        bool throwOnError);
KRCORE_API unsigned long GetProcessNameFromHandle(void* process, std::wstring& name, bool fullPath,
                                                  bool throwOnError);
// The name, or krException on failure.
KRCORE_API std::wstring GetProcessName(unsigned long pid, bool fullPath);
// The name, or an empty text on any failure (logged). Never throws.
KRCORE_API std::wstring GetProcessNameNoThrow(unsigned long pid, bool fullPath);

// ---------------------------------------------------------------------------
// Waiting and termination. Thread-safe: each call works only on the handle
// or process it is given. None throws; the termination functions leave the
// thread's last error at the failure (5: not allowed) or 0.
// ---------------------------------------------------------------------------

// Up to `loops` rounds of: read the exit code, wait `waitMs` on the handle,
// read it again. True once it is not 259; false after the last round or when
// the code cannot be read (logged).
KRCORE_API bool WaitProcessExit(void* process, unsigned long waitMs, int loops);
// WaitProcessExit, and one line at normal level with the outcome.
KRCORE_API bool WaitProcessExitAndLog(void* process, unsigned long waitMs, int loops,
                                      const wchar_t* prefix, const wchar_t* name,
                                      unsigned long pid, unsigned long terminateError);

// The polite request for one process "window": each process has exactly one
// here, whose handle is the process id (HWND)(uintptr_t)pid. When `window`
// is the window of `pid`, the process is asked to end (SIGTERM). Always TRUE,
// so an enumeration goes on.
KRCORE_API BOOL terminateappenum(HWND window, long pid);

// Asks the process to end, waits `waitMs`, then ends it by force (exit code
// 0) and waits up to five more rounds of `waitMs`. True when it is gone,
// also for a process that does not exist; false for pid 0 and failures.
KRCORE_API bool terminateprocessbyid(unsigned long pid, unsigned long waitMs);
// terminateprocessbyid's procedure for every process whose executable name
// equals `name` ignoring case. True when every matching process ended (also
// when none matched).
KRCORE_API bool terminateprocessbyname(const std::wstring& name, unsigned long waitMs);
// Ends a child: optionally asks it first (when pid is not 0), waits
// `waitMs` (skipped for 0), then ends it by force with exit code 1067 and
// waits one more round. True when it has ended. The handle stays open.
KRCORE_API bool terminate_child_process(void* process, unsigned long pid, bool sendClose,
                                        unsigned long waitMs);
KRCORE_API bool terminate_child_process(const PROCESS_INFORMATION& info, unsigned long waitMs);

}  // namespace krCore
