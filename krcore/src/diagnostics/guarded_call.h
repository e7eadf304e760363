// Internal: a call whose exceptions are analysed instead of propagated, as
// every hook and work item on the library's threads is run.
//
// The unwinding that ends a thread (pthread_exit, cancellation) is not an
// error to analyse: it must pass, or the runtime aborts the process.
#pragma once

#include <krcore/diagnostics.h>

#include <optional>

#include "foundation/compiler.h"
#include "foundation/internal.h"


namespace krCore::detail {

// Calls fn(); an exception it throws is handed to guard.Analyze(file, line),
// except the unwinding of an ending thread, which passes through. (That
// unwinding carries no C++ object: the null-reference check must not look at
// its catch clause.)
template <class Fn>
KRCORE_NO_SANITIZE_UNDEFINED void guarded_call(se_exception_initializer& guard,
                                                         const char* file, int line, Fn&& fn) {
  try {
    fn();
  }
  KRCORE_PASS_THREAD_END catch (...) {
    guard.Analyze(file, line);
  }
}

// Makes the first guard of a library thread, in `guard`. The fault
// translation it sets up needs memory of the thread's own (a signal stack),
// which the system may refuse under an address-space or mapping limit; the
// thread must then end with a code instead of letting the exception out of
// its start routine. 0, or the Win32 code of the refusal, logged as a start
// failure of `who`'s thread.
KRCORE_INTERNAL unsigned long make_thread_guard(std::optional<se_exception_initializer>& guard,
                                                const char* who) noexcept;

}  // namespace krCore::detail
