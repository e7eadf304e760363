// The forced end of a library thread on Windows, where the system's
// TerminateThread ends a thread wherever it is.
//
// The property checked is the one TerminateThread alone breaks: a thread
// asked to end while it holds one of the library's locks is not ended
// there. It ends the moment it lets go of the lock, runs nothing after
// that, and the lock is free afterwards. A thread outside any lock, blocked
// in a system wait, is ended at once. The same holds for the locks of
// other modules, which the library cannot count: a thread that runs or
// waits inside another module (foreign_module.cpp, built as a DLL of its
// own, or in code in private memory, as a hook's trampoline) is ended only
// once it is back in its own code.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "foundation/kill_hold.h"
#include "foundation/spin_lock.h"
#include "foundation/waitable.h"
#include "threading/native_thread.h"

using namespace krCore::detail;

extern "C" {
__declspec(dllimport) void foreign_spin_holding_lock(HANDLE inside, volatile LONG* go_on);
__declspec(dllimport) void foreign_wait_holding_lock(HANDLE inside, HANDLE release);
__declspec(dllimport) void foreign_call_back_holding_lock(void (*back)(void*), void* argument);
__declspec(dllimport) void foreign_hold_next_thread_start(HANDLE inside, HANDLE release);
__declspec(dllimport) BOOL foreign_lock_is_free();
}

namespace {

constexpr DWORD kBoundMs = 60000;

struct shared_state {
  spin_lock lock;
  HANDLE inside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> ran_on{false};
  // For the calls into the foreign module: what lets it return, and the
  // thread's mark of a forced end it holds off.
  HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  volatile LONG go_on = 1;
  bool ended_inside = false;
  std::atomic<int> called_back{0};
  // For code in private memory: its go-on byte, and the byte it sets once
  // it runs there.
  volatile char code_bytes[2] = {1, 0};
  ~shared_state() {
    ::CloseHandle(inside);
    ::CloseHandle(never);
    ::CloseHandle(release);
  }
};

// Takes the lock, says so, and holds it until a forced end has been asked
// for (the terminator marks the thread while it is suspended), then lets go.
unsigned hold_lock_until_marked(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  {
    const std::lock_guard<spin_lock> hold(state->lock);
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

// Spins inside the foreign module, holding its lock; back in its own code
// it blocks in a system wait.
unsigned spin_in_foreign_module(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  foreign_spin_holding_lock(state->inside, &state->go_on);
  ::WaitForSingleObject(state->never, INFINITE);
  return 0;
}

// Waits inside the foreign module (through WaitForSingleObject), holding
// its lock; back in its own code it blocks in a system wait.
unsigned wait_in_foreign_module(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  foreign_wait_holding_lock(state->inside, state->release);
  ::WaitForSingleObject(state->never, INFINITE);
  return 0;
}

// Called back by the foreign module, which holds its lock meanwhile: the
// program's own code, waiting in the system's wait function, or in one of
// the library's waits. Each does a step after its wait, so the wait is a
// call of its own rather than its last jump.
void wait_called_back(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  ::SetEvent(state->inside);
  ::WaitForSingleObject(state->release, INFINITE);
  ++state->called_back;
}
void library_wait_called_back(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  ::SetEvent(state->inside);
  wait_any(&state->release, 1, INFINITE);
  ++state->called_back;
}

// Called back by the foreign module, which holds its lock meanwhile: runs
// until it is let go, then passes a held region of the library's, as a
// module's call into the library does.
void spin_then_hold_called_back(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  ::SetEvent(state->inside);
  while (state->go_on != 0) {
  }
  { const kill_hold hold; }
  ++state->called_back;
}

// Is called back by the foreign module; back in its own code it blocks in
// a system wait.
template <void (*Back)(void*)>
unsigned called_back_by_foreign_module(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  foreign_call_back_holding_lock(Back, state);
  ::WaitForSingleObject(state->never, INFINITE);
  return 0;
}

// Code in memory that is no image, as a hook's trampoline runs: sets
// bytes[1], spins while bytes[0] is not 0, returns. The bytes come in rcx.
//   mov byte ptr [rcx+1], 1 ; cmp byte ptr [rcx], 0 ; jne (to the cmp) ; ret
constexpr unsigned char kPrivateSpin[] = {0xC6, 0x41, 0x01, 0x01, 0x80, 0x39,
                                          0x00, 0x75, 0xFB, 0xC3};

// Spins in code in private memory; back in its own code it blocks in a
// system wait. Only that code's own byte says it is inside.
unsigned spin_in_private_code(void* argument) {
  auto* state = static_cast<shared_state*>(argument);
  void* code = ::VirtualAlloc(nullptr, sizeof kPrivateSpin, MEM_COMMIT | MEM_RESERVE,
                              PAGE_EXECUTE_READWRITE);
  if (!code) return 1;
  std::memcpy(code, kPrivateSpin, sizeof kPrivateSpin);
  ::FlushInstructionCache(::GetCurrentProcess(), code, sizeof kPrivateSpin);
  reinterpret_cast<void (*)(volatile char*)>(code)(state->code_bytes);
  ::WaitForSingleObject(state->never, INFINITE);
  return 0;
}

unsigned return_at_once(void*) { return 0; }

unsigned exit_thread_at_once(void*) { ::ExitThread(0); }

struct terminate_call {
  HANDLE thread;
  DWORD result = 0xFFFFFFFF;
  HANDLE go = nullptr;
};

// terminate_thread runs on a thread of its own, so that a hang shows as a
// bounded wait failing rather than as the test program hanging.
DWORD WINAPI call_terminate(void* argument) {
  auto* call = static_cast<terminate_call*>(argument);
  call->result = terminate_thread(call->thread);
  return 0;
}

// Runs while the terminator works, for a thread inside code that is not the
// program's own: gives the terminator a second, many looks at the thread,
// and then lets the code return. A terminator that is done by then ended
// the thread in there.
void release_after_a_look(shared_state& state, HANDLE terminator) {
  state.ended_inside = ::WaitForSingleObject(terminator, 1000) == WAIT_OBJECT_0;
  state.go_on = 0;
  ::SetEvent(state.release);
}

// Lets the private code return (see release_after_a_look).
void release_private_code(shared_state& state, HANDLE terminator) {
  release_after_a_look(state, terminator);
  state.code_bytes[0] = 0;
}

// Starts `body` on a gated thread, waits until it is inside, ends it by
// force from another thread (running `meanwhile`, if any, as it works), and
// checks that it ended with the library's lock and the foreign module's
// free and ran nothing after the forced end.
void end_by_force_while_in(thread_body body,
                           void (*meanwhile)(shared_state&, HANDLE) = nullptr) {
  // A thread that outlives a failed check keeps its state: leaked, never
  // freed under it.
  auto state = std::make_unique<shared_state>();
  DWORD id = 0;
  const HANDLE thread = create_thread_gated(body, state.get(), &id);
  ASSERT_NE(thread, nullptr) << ::GetLastError();
  ASSERT_TRUE(resume_thread(thread));
  const ULONGLONG until = ::GetTickCount64() + kBoundMs;
  bool inside = false;
  while (!inside && ::GetTickCount64() < until)
    inside = ::WaitForSingleObject(state->inside, 1) == WAIT_OBJECT_0 || state->code_bytes[1];
  if (!inside) {
    state.release();
    FAIL() << "the thread never got inside";
  }
  terminate_call call{thread};
  const HANDLE terminator = ::CreateThread(nullptr, 0, &call_terminate, &call, 0, nullptr);
  ASSERT_NE(terminator, nullptr);
  if (meanwhile) meanwhile(*state, terminator);
  if (::WaitForSingleObject(terminator, kBoundMs) != WAIT_OBJECT_0) {
    state.release();
    FAIL() << "terminate_thread hung";
  }
  EXPECT_EQ(call.result, 0u);
  EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "the thread is still running";
  const bool lock_free = state->lock.try_lock();
  if (lock_free) state->lock.unlock();
  EXPECT_TRUE(lock_free) << "the ended thread left the library's lock held";
  EXPECT_TRUE(foreign_lock_is_free())
      << "the thread was ended inside the other module and left its lock held";
  EXPECT_FALSE(state->ran_on) << "the thread ran on after its forced end";
  EXPECT_FALSE(state->ended_inside) << "the thread was ended inside code not the program's own";
  ::CloseHandle(terminator);
  ::CloseHandle(thread);
}

TEST(TerminateThreadOnWindows, AThreadInsideAHeldLockEndsAsItLetsGoAndTheLockIsFree) {
  end_by_force_while_in(&hold_lock_until_marked);
}

TEST(TerminateThreadOnWindows, AThreadInASystemWaitOutsideAnyLockIsEndedAtOnce) {
  end_by_force_while_in(&wait_forever);
}

TEST(TerminateThreadOnWindows, AThreadRunningInsideAnotherModuleIsEndedOnlyBackInItsOwnCode) {
  end_by_force_while_in(&spin_in_foreign_module, &release_after_a_look);
}

TEST(TerminateThreadOnWindows, AThreadWaitingInsideAnotherModuleIsEndedOnlyBackInItsOwnCode) {
  end_by_force_while_in(&wait_in_foreign_module, &release_after_a_look);
}

TEST(TerminateThreadOnWindows, AThreadRunningInPrivateMemoryIsEndedOnlyBackInItsOwnCode) {
  end_by_force_while_in(&spin_in_private_code, &release_private_code);
}

// Below the waiting code stands the module that called it back, with its
// lock held: whoever waits, the thread is not ended there.
TEST(TerminateThreadOnWindows, AThreadCalledBackByAnotherModuleIsEndedOnlyBackInItsOwnCode) {
  for (thread_body body : {&called_back_by_foreign_module<&wait_called_back>,
                           &called_back_by_foreign_module<&library_wait_called_back>}) {
    SCOPED_TRACE(body == &called_back_by_foreign_module<&wait_called_back>
                     ? "waiting in the system's wait"
                     : "waiting in the library's wait");
    end_by_force_while_in(body, &release_after_a_look);
  }
}

// Asked to end outside every held region while another module is on its
// stack, the thread does not end itself as it leaves a held region that
// module's call entered: the module's lock would stay held.
TEST(TerminateThreadOnWindows, AThreadMarkedInsideAnotherModuleDoesNotEndInTheModulesCallIntoTheLibrary) {
  end_by_force_while_in(&called_back_by_foreign_module<&spin_then_hold_called_back>,
                        &release_after_a_look);
}

// Ends `warm_up` first, so that nothing of the terminator's first use is
// left to do while the loader's lock may be held, says so on `ready`, and
// ends `thread` once told to.
struct start_up_call : terminate_call {
  HANDLE warm_up = nullptr;
  HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD warm_up_result = 0xFFFFFFFF;
  ~start_up_call() {
    ::CloseHandle(go);
    ::CloseHandle(ready);
    ::CloseHandle(done);
  }
};

DWORD WINAPI terminate_on_go(void* argument) {
  auto* call = static_cast<start_up_call*>(argument);
  call->warm_up_result = terminate_thread(call->warm_up);
  ::SetEvent(call->ready);
  ::WaitForSingleObject(call->go, INFINITE);
  call->result = terminate_thread(call->thread);
  ::SetEvent(call->done);  // its own exit needs the loader's lock
  return 0;
}

// A thread past its start gate but still in its start-up (here told of
// itself to a module, which holds the loader's lock and its own) is not
// ended there, also while someone else (a debugger, a profiler) keeps it
// suspended meanwhile.
TEST(TerminateThreadOnWindows, AThreadInItsStartUpIsNotEndedThereWhileSomeoneElseSuspendsIt) {
  auto state = std::make_unique<shared_state>();
  // The terminator is started (and its own start-up over) first: no thread
  // starts while the other is held in its start-up.
  DWORD id = 0;
  start_up_call call{{nullptr}};
  call.go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  call.warm_up = create_thread_gated(&wait_forever, state.get(), &id);
  ASSERT_NE(call.warm_up, nullptr) << ::GetLastError();
  ASSERT_TRUE(resume_thread(call.warm_up));
  ASSERT_EQ(::WaitForSingleObject(state->inside, kBoundMs), WAIT_OBJECT_0);
  const HANDLE terminator = ::CreateThread(nullptr, 0, &terminate_on_go, &call, 0, nullptr);
  ASSERT_NE(terminator, nullptr);
  ASSERT_EQ(::WaitForSingleObject(call.ready, kBoundMs), WAIT_OBJECT_0);
  ASSERT_EQ(call.warm_up_result, 0u);
  ::CloseHandle(call.warm_up);
  ::ResetEvent(state->inside);

  foreign_hold_next_thread_start(state->inside, state->release);
  const HANDLE thread = create_thread_gated(&wait_forever, state.get(), &id);
  ASSERT_NE(thread, nullptr) << ::GetLastError();
  ASSERT_TRUE(resume_thread(thread));
  ASSERT_EQ(::WaitForSingleObject(state->inside, kBoundMs), WAIT_OBJECT_0);
  ASSERT_EQ(::SuspendThread(thread), 0u);
  call.thread = thread;
  ::SetEvent(call.go);
  // A terminator done meanwhile ended it there; so did one whose end
  // shows only once the thread runs again.
  EXPECT_NE(::WaitForSingleObject(call.done, 1000), WAIT_OBJECT_0)
      << "the thread was ended in its start-up";
  ::ResumeThread(thread);
  ::SetEvent(state->release);
  ASSERT_EQ(::WaitForSingleObject(call.done, kBoundMs), WAIT_OBJECT_0);
  if (!foreign_lock_is_free()) {
    // The loader's lock is lost with it: this process could not even exit.
    ADD_FAILURE() << "the thread was ended in its start-up and left the module's lock held";
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 1);
  }
  EXPECT_EQ(call.result, 0u);
  EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "the thread is still running";
  EXPECT_EQ(::WaitForSingleObject(terminator, kBoundMs), WAIT_OBJECT_0);
  ::CloseHandle(terminator);
  ::CloseHandle(thread);
}

// Starts a gated thread that blocks in a system wait, and waits until it
// does.
void start_waiting(shared_state& state, DWORD& id, HANDLE& thread) {
  thread = create_thread_gated(&wait_forever, &state, &id);
  ASSERT_NE(thread, nullptr) << ::GetLastError();
  ASSERT_TRUE(resume_thread(thread));
  ASSERT_EQ(::WaitForSingleObject(state.inside, kBoundMs), WAIT_OBJECT_0);
}

// A handle without the right to suspend the thread: the thread cannot be
// looked at, so it is reported as not ended, and it runs on.
TEST(TerminateThreadOnWindows, AThreadItMayNotSuspendIsReportedAsNotEnded) {
  auto state = std::make_unique<shared_state>();
  DWORD id = 0;
  HANDLE thread = nullptr;
  ASSERT_NO_FATAL_FAILURE(start_waiting(*state, id, thread));
  const HANDLE limited =
      ::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  ASSERT_NE(limited, nullptr) << ::GetLastError();
  EXPECT_EQ(terminate_thread(limited), 1460u);
  EXPECT_EQ(::WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::CloseHandle(limited);
  EXPECT_EQ(terminate_thread(thread), 0u);
  ::CloseHandle(thread);
}

// A handle with every right the end needs but the one to wait on it: the
// thread is ended all the same, and reported as ended.
TEST(TerminateThreadOnWindows, AThreadEndedThroughAHandleItCannotWaitOnIsReportedAsEnded) {
  auto state = std::make_unique<shared_state>();
  DWORD id = 0;
  HANDLE thread = nullptr;
  ASSERT_NO_FATAL_FAILURE(start_waiting(*state, id, thread));
  const HANDLE no_wait = ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
                                          THREAD_TERMINATE | THREAD_QUERY_INFORMATION,
                                      FALSE, id);
  ASSERT_NE(no_wait, nullptr) << ::GetLastError();
  EXPECT_EQ(terminate_thread(no_wait), 0u);
  EXPECT_EQ(::WaitForSingleObject(thread, kBoundMs), WAIT_OBJECT_0);
  ::CloseHandle(no_wait);
  ::CloseHandle(thread);
}

// Whether it returned or left through ExitThread, a thread that has ended
// is reported as ended.
TEST(TerminateThreadOnWindows, AThreadThatHasEndedAlreadyIsReportedAsEnded) {
  for (thread_body body : {&return_at_once, &exit_thread_at_once}) {
    DWORD id = 0;
    const HANDLE thread = create_thread_gated(body, nullptr, &id);
    ASSERT_NE(thread, nullptr) << ::GetLastError();
    ASSERT_TRUE(resume_thread(thread));
    ASSERT_EQ(::WaitForSingleObject(thread, kBoundMs), WAIT_OBJECT_0);
    EXPECT_EQ(terminate_thread(thread), 0u);
    ::CloseHandle(thread);
  }
}

}  // namespace
