// A module of someone else's, as a library thread may call into one: it
// keeps a lock of its own (a CRITICAL_SECTION) and holds it while it spins
// in its own code, waits through the system's wait functions, or calls the
// program back. A thread ended by force in any of these places would leave
// that lock held for good, whatever the library's own count of held
// regions says.
#include <windows.h>

namespace {

CRITICAL_SECTION g_lock;
const bool g_ready = [] {
  ::InitializeCriticalSection(&g_lock);
  return true;
}();

HANDLE g_attach_inside = nullptr;
HANDLE g_attach_release = nullptr;
volatile LONG g_hold_next_attach = 0;

}  // namespace

// The next thread started in the process, as the system tells the module
// of it (inside the loader's lock), takes the module's lock, sets `inside`,
// and waits for `release` there: a thread held in its start-up.
extern "C" __declspec(dllexport) void foreign_hold_next_thread_start(HANDLE inside,
                                                                     HANDLE release) {
  g_attach_inside = inside;
  g_attach_release = release;
  ::InterlockedExchange(&g_hold_next_attach, 1);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_THREAD_ATTACH && ::InterlockedExchange(&g_hold_next_attach, 0) != 0) {
    ::EnterCriticalSection(&g_lock);
    ::SetEvent(g_attach_inside);
    ::WaitForSingleObject(g_attach_release, INFINITE);
    ::LeaveCriticalSection(&g_lock);
  }
  return TRUE;
}

// Takes the module's lock, sets `inside`, and spins until `*go_on` is 0.
extern "C" __declspec(dllexport) void foreign_spin_holding_lock(HANDLE inside,
                                                                 volatile LONG* go_on) {
  ::EnterCriticalSection(&g_lock);
  ::SetEvent(inside);
  while (*go_on != 0) {
  }
  ::LeaveCriticalSection(&g_lock);
}

// Takes the module's lock, sets `inside`, and waits for `release` in
// WaitForSingleObject.
extern "C" __declspec(dllexport) void foreign_wait_holding_lock(HANDLE inside, HANDLE release) {
  ::EnterCriticalSection(&g_lock);
  ::SetEvent(inside);
  ::WaitForSingleObject(release, INFINITE);
  ::LeaveCriticalSection(&g_lock);
}

// Takes the module's lock and calls `back(argument)` with it held.
extern "C" __declspec(dllexport) void foreign_call_back_holding_lock(void (*back)(void*),
                                                                     void* argument) {
  ::EnterCriticalSection(&g_lock);
  back(argument);
  ::LeaveCriticalSection(&g_lock);
}

// True when the module's lock is free now (taken and let go at once).
extern "C" __declspec(dllexport) BOOL foreign_lock_is_free() {
  if (!g_ready || !::TryEnterCriticalSection(&g_lock)) return FALSE;
  ::LeaveCriticalSection(&g_lock);
  return TRUE;
}
