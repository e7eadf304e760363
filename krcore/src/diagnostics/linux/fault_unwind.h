// Internal (Linux): walking the stack of a fault from inside its signal
// handler — capturing the program counters for the record and choosing the
// frame the translated exception is thrown from.
#pragma once

#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <typeinfo>

namespace krCore::detail {

// What the walk found for the fault.
enum class unwind_plan {
  no_frame,  // no frame can be thrown from (no unwind information at the fault)
  caught,    // a catch clause on the stack takes the thrown type
  uncaught,  // the throw would end in std::terminate: no clause takes it, or
             // a frame on the way forbids exceptions (noexcept, or a call
             // the compiler judged unable to throw)
};

// Walks the interrupted stack from the signal handler. `frames` receives
// the program counters: the caller has already recorded the interrupted
// frame's (the faulting instruction, and the return address when it popped
// a bad call); the walk appends the return addresses of the callers. When the interrupted frame
// cannot take an exception at the interrupted instruction (code built
// without -fnon-call-exceptions: its unwind tables would make the runtime
// call std::terminate), the context is rewritten to the nearest caller that
// can, as if that caller's call had faulted; the skipped frames run no
// cleanups; a frame whose tables only forbid exceptions (a noexcept function
// built with -fnon-call-exceptions) is not skipped: that is `uncaught`. From
// the frame thrown from on, the walk searches for a handler as the
// runtime's throw will, for an object of type `thrown` (null: unknown, so
// any catch clause takes it). The context is rewritten only for `caught`.
// Async-signal-safe as far as throwing is.
unwind_plan prepare_unwind(ucontext_t* uc, const void** frames, std::size_t capacity,
                           std::size_t* count, const std::type_info* thrown);

// A call through a bad pointer faults with the instruction pointer at the
// bad address, where there is no unwind information: resume the walk at the
// return address the call pushed, which is stored in `return_address`.
// False (context unchanged) when the word at the stack pointer is not a
// return address into code with unwind information.
bool pop_bad_call(ucontext_t* uc, std::uintptr_t* return_address);

}  // namespace krCore::detail
