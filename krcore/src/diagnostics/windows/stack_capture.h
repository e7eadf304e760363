// Internal (Windows): walks of a stack from a register set, shared by the
// fault translation (which walks the faulting thread's stack before it
// throws) and by stack traces (stack_capture.cpp).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "diagnostics/symbols.h"

namespace krCore::detail {

// The calling thread's stack: what it may grow to, and its base.
void current_stack_range(std::uintptr_t* low, std::uintptr_t* high) noexcept;

// Walks the stack that `context` describes: frame 0 is its instruction
// pointer (`exact` when that is the instruction itself, not a return
// address), later frames the callers' return addresses, innermost first.
// Reads nothing outside [low, high). On x86-64 the frames are stepped with
// the images' tables of function entries; x86 code keeps none, so there the
// walk gives frame 0 only. Takes the system's lock of the function tables
// but allocates nothing, so it may run in an exception handler.
std::size_t walk_from_context(const CONTEXT& context, bool exact, std::uintptr_t low,
                              std::uintptr_t high, stack_frame* frames,
                              std::size_t capacity) noexcept;

}  // namespace krCore::detail
