// Internal (Linux): what a fault signal means in terms of a fault record —
// the code, the reported address and the information words — decoded from
// the signal information, the saved registers and, where the kernel folds
// several causes into one signal, the faulting instruction itself.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

namespace krCore::detail {

struct fault_facts {
  unsigned int code = 0;
  std::uintptr_t address = 0;  // the record's exception address
  std::uintptr_t info[2] = {0, 0};
  unsigned int info_count = 0;
  bool execute = false;  // an instruction fetch from `info[1]`
};

// The calling thread's stack, known from when its translator was set up
// (lo == hi == 0 when unknown).
struct stack_bounds {
  std::uintptr_t lo = 0;
  std::uintptr_t hi = 0;
};

// Decodes a kernel-generated fault. False for signals this module does not
// translate. Async-signal-safe; reads the faulting instruction only when the
// fault was raised by executing it.
bool decode_fault(int sig, const siginfo_t* info, const ucontext_t* uc, const stack_bounds& stack,
                  fault_facts* out);

}  // namespace krCore::detail
