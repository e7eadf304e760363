// Internal (Linux): walking the stack of a fault from inside its signal
// handler — capturing the program counters for the record and choosing the
// frame the translated exception is thrown from.
#pragma once

#include <ucontext.h>

#include <cstddef>
#include <cstdint>

namespace krCore::detail {

// Walks the interrupted stack from the signal handler. `frames` receives
// the program counters: the caller has already recorded the interrupted
// frame's (the faulting instruction, and the return address when it popped
// a bad call); the walk appends the return addresses of the callers. When the interrupted frame
// cannot take an exception at the interrupted instruction (code built
// without -fnon-call-exceptions: its unwind tables would make the runtime
// call std::terminate), the context is rewritten to the nearest caller that
// can, as if that caller's call had faulted; the skipped frames run no
// cleanups. False when no frame can be thrown from (no unwind information
// at the fault): the context is then unchanged. Async-signal-safe as far as
// throwing is.
bool prepare_unwind(ucontext_t* uc, const void** frames, std::size_t capacity, std::size_t* count);

// A call through a bad pointer faults with the instruction pointer at the
// bad address, where there is no unwind information: resume the walk at the
// return address the call pushed, which is stored in `return_address`.
// False (context unchanged) when the word at the stack pointer is not a
// return address into code with unwind information.
bool pop_bad_call(ucontext_t* uc, std::uintptr_t* return_address);

}  // namespace krCore::detail
