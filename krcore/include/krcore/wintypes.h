// The few platform types that the exported interface names.
//
// A Windows build gets these from the system headers. On other systems this
// header supplies them in the global namespace with the layout callers rely
// on (field order and widths of the Windows definitions), and nothing else:
// the interface itself speaks in standard C++ types wherever it can.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else

#include <cstdint>
#include <string>

// 32-bit unsigned integer of the platform interfaces (DWORD is 32 bits wide
// on Windows whatever the data model; `unsigned long` is 64 bits here).
typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef unsigned char BYTE;
typedef int BOOL;
typedef void* HANDLE;

// A loaded module (a dlopen handle on this platform).
typedef void* HINSTANCE;
typedef HINSTANCE HMODULE;

// A 128-bit globally unique identifier.
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  unsigned char Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// 100-nanosecond intervals since 1601-01-01 UTC, split in two 32-bit halves.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// A broken-down date and time.
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// A counted byte buffer (the protected-data blobs).
struct DATA_BLOB {
  DWORD cbData;
  BYTE* pbData;
};

// The record of a hardware fault or system exception: its code, flags
// (bit 0: non-continuable), the faulting address and information words.
#ifndef EXCEPTION_MAXIMUM_PARAMETERS
#define EXCEPTION_MAXIMUM_PARAMETERS 15
#endif
struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  void* ExceptionAddress;
  DWORD NumberParameters;
  std::uintptr_t ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

// The processor state at a fault (x86-64 general registers, instruction
// pointer and flags; the fields carry the Windows names).
struct CONTEXT {
  std::uint64_t Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
  std::uint64_t R8, R9, R10, R11, R12, R13, R14, R15;
  std::uint64_t Rip;
  DWORD EFlags;
  WORD SegCs, SegSs;
  DWORD MxCsr;
};

// The pair a translator receives: the exception record and the context.
struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  CONTEXT* ContextRecord;
};

// A 64-bit value with its two 32-bit halves (clock readings: the
// performance counter, system times). The halves are reachable directly and
// through `u`, as on Windows.
union LARGE_INTEGER {
  __extension__ struct {
    DWORD LowPart;
    std::int32_t HighPart;
  };
  struct {
    DWORD LowPart;
    std::int32_t HighPart;
  } u;
  long long QuadPart;
};
union ULARGE_INTEGER {
  __extension__ struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  unsigned long long QuadPart;
};

#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// What the waits answer: the index of the signalled object from
// WAIT_OBJECT_0, of an abandoned mutex from WAIT_ABANDONED_0, a timeout or a
// failure (the reason from GetLastError).
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_ABANDONED WAIT_ABANDONED_0
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#endif
// The error codes callers compare results with most often (the library
// answers every Win32 code; these are the ones worth a name here).
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#endif
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0)))
#endif

// ---------------------------------------------------------------------------
// Thread messages: the record a thread's message queue holds, and the
// message numbers and flags the library's queue understands.
// ---------------------------------------------------------------------------
typedef unsigned int UINT;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
// A window; there are no windows here, so thread messages carry null.
typedef void* HWND;

struct POINT {
  std::int32_t x;
  std::int32_t y;
};

// One queued message: the target window (null for a thread message), the
// message number, its two parameters, the tick count (ms) when it was posted
// and the cursor position (always 0, 0 here).
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

#ifndef WM_NULL
#define WM_NULL 0x0000u
#define WM_QUIT 0x0012u
#define WM_TIMECHANGE 0x001Eu
#define WM_USER 0x0400u
#endif
#ifndef PM_NOREMOVE
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#endif
#ifndef QS_POSTMESSAGE
#define QS_POSTMESSAGE 0x0008u
#define QS_ALLPOSTMESSAGE 0x0100u
#define QS_ALLINPUT 0x04FFu
#endif

// The wide string class of the Windows interfaces: the standard wide string
// here, so that callers pass ordinary strings wherever an interface names it.
typedef std::wstring CStringT;

#endif  // !_WIN32
