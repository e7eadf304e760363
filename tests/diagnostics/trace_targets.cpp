// Fault targets of the trace tests (see trace_targets.h).
#include "trace_targets.h"

namespace tracetarget {

__attribute__((noinline)) int read_through(const volatile int* p) {
  const int value = *p;  // the faulting read
  return value + 1;
}
const int kReadLine = __LINE__ - 3;

__attribute__((noinline)) int read_after_write(volatile int* out, const volatile int* p) {
  *out = 1;
  const int value = *p;  // the faulting read, one statement into the function
  return value + 1;
}
const int kReadAfterWriteLine = __LINE__ - 3;

namespace {
int (*volatile g_next)(const volatile int*) = nullptr;
}

static __attribute__((noinline)) int fault_in_static(const volatile int* p) { return *p * 2; }

__attribute__((noinline)) int via_static(const volatile int* p) {
  g_next = &fault_in_static;
  const int r = g_next(p);
  asm volatile("");  // keep the call a call
  return r;
}

__attribute__((noinline)) int call_through(int (*fn)()) {
  const int r = fn();
  asm volatile("");  // keep the call a call
  return r + 1;
}

}  // namespace tracetarget
