// Internal: what the symbol engine needs from the platform — a symbol
// handler that maps code addresses to modules, functions and source lines,
// stack walks from a register set or of the calling thread, and reads of
// memory that may not be mapped. The Linux backend is linux/symbols.cpp
// (elfutils' libdwfl) and linux/stack_capture.cpp; the portable engine and
// formatter live in sym_engine.cpp.
#pragma once

#include <krcore/wintypes.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "foundation/internal.h"
#include "foundation/kill_hold.h"

namespace krCore::detail {

// One frame of a walk. `exact` marks a program counter that is the
// instruction itself (a fault, or the frame a register set describes);
// otherwise it is a return address, and the call lies just before it.
struct stack_frame {
  std::uintptr_t pc;
  bool exact;
};

// The one lock of the process-wide symbol handler: every symbol_* call
// below is made with it held.
library_mutex& symbol_handler_lock();

// Starts the handler: reports the process's loaded modules. False when no
// module could be reported (the handler is then left closed).
bool symbol_handler_open();
// Releases the handler and everything it loaded.
void symbol_handler_close();

// The path of the module holding `address`; false when none does. Modules
// loaded since the last lookup are reported first.
bool symbol_module_path(std::uintptr_t address, std::string* path);
// The function holding `address`, demangled, without its parameter list,
// and the offset of `address` from the function's start.
bool symbol_function(std::uintptr_t address, std::string* name, std::uintptr_t* displacement);
// The source file and line of the code at exactly `address`, and the offset
// of `address` from the line's first instruction.
bool symbol_line(std::uintptr_t address, std::string* file, unsigned* line,
                 std::uintptr_t* displacement);
// Walks the stack that `context` describes from its registers, using the
// modules' call-frame information; frame 0 is the context's own. Memory is
// read with safe_read, so a bogus context ends the walk, not the process.
std::size_t symbol_walk(const CONTEXT& context, stack_frame* frames, std::size_t capacity);

// Captures the calling thread's own stack, innermost first, leaving out
// the capturing function itself and `skip` more frames. Needs no lock.
KRCORE_INTERNAL std::size_t capture_own_stack(stack_frame* frames, std::size_t capacity,
                                              unsigned skip);

// Copies `size` bytes at `address` into `out` without faulting; false when
// any of them is not readable.
bool safe_read(const void* address, void* out, std::size_t size) noexcept;

}  // namespace krCore::detail
