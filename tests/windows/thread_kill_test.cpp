// The forced end of a library thread on Windows, run under wine64 (no test
// framework is built for Windows yet: the program prints one result line per
// case and "N passed, N failed", and exits 1 on any failure).
//
// The property checked is the one TerminateThread alone breaks: a thread
// asked to end while it holds one of the library's locks is not ended
// there. It ends the moment it lets go of the lock, runs nothing after
// that, and the lock is free afterwards. A thread outside any lock, blocked
// in a system wait, is ended at once.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "foundation/kill_hold.h"
#include "foundation/spin_lock.h"
#include "threading/native_thread.h"

using namespace krCore::detail;

namespace {

struct shared_state {
  spin_lock lock;
  HANDLE inside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> ran_on{false};
};

// Takes the lock, says so, and holds it until a forced end has been asked
// for (the terminator marks the thread while it is suspended), then lets go.
unsigned hold_lock_until_marked(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  {
    held_lock<spin_lock> hold(state->lock);
    ::SetEvent(state->inside);
    while (!t_kill_held_off) ::WaitForSingleObject(state->never, 1);
  }
  state->ran_on = true;  // must not be reached: the thread ends as it lets go
  return 0;
}

// Blocks in a system wait outside every held region.
unsigned wait_forever(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  ::SetEvent(state->inside);
  ::WaitForSingleObject(state->never, INFINITE);
  state->ran_on = true;
  return 0;
}

struct terminate_call {
  HANDLE thread;
  DWORD result = 0xFFFFFFFF;
};

DWORD WINAPI call_terminate(void* argument) {
  auto* call = static_cast<terminate_call*>(argument);
  call->result = terminate_thread(call->thread);
  return 0;
}

int g_failed = 0, g_passed = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  ++(ok ? g_passed : g_failed);
}

// Starts `body` on a gated thread, waits until it is inside, ends it by
// force from another thread, and reports what it saw.
void run_case(thread_body body, const char* name) {
  shared_state state;
  DWORD id = 0;
  HANDLE thread = create_thread_gated(body, &state, &id);
  if (!thread) {
    check(false, name);
    return;
  }
  resume_thread(thread);
  ::WaitForSingleObject(state.inside, INFINITE);
  terminate_call call{thread};
  HANDLE terminator = ::CreateThread(nullptr, 0, &call_terminate, &call, 0, nullptr);
  const bool returned = ::WaitForSingleObject(terminator, 60000) == WAIT_OBJECT_0;
  const bool ended = ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  const bool lock_free = state.lock.try_lock();
  if (lock_free) state.lock.unlock();
  std::printf("%s: terminate_thread %s, answered %lu\n", name, returned ? "returned" : "hung",
              static_cast<unsigned long>(call.result));
  check(returned && call.result == 0 && ended && lock_free && !state.ran_on, name);
  ::CloseHandle(terminator);
  ::CloseHandle(thread);
}

}  // namespace

int main() {
  run_case(&hold_lock_until_marked, "a thread inside a held lock ends as it lets go, the lock free");
  run_case(&wait_forever, "a thread in a system wait outside any lock is ended at once");
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}
