// Fault generators (see fault_generators.h). Built with -fnon-call-exceptions.
#include "fault_generators.h"

#include <fenv.h>

namespace faultgen {

__attribute__((noinline)) int read_at(const void* address) {
  return *static_cast<const volatile int*>(address);
}

__attribute__((noinline)) void write_at(void* address) { *static_cast<volatile int*>(address) = 1; }

__attribute__((noinline)) void call_at(const void* address) {
  reinterpret_cast<void (*)()>(const_cast<void*>(address))();
  asm volatile("");  // keep the call a call, not a tail jump
}

// Never ends by itself; the indirect call keeps the compiler from noticing.
int (*volatile g_recurse)(int) = &exhaust_stack;

__attribute__((noinline)) int exhaust_stack(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return g_recurse(depth + 1) + frame[0];
}

__attribute__((noinline)) int divide(int dividend, int divisor) {
  volatile int d = divisor;
  return dividend / d;
}

__attribute__((noinline)) long long divide64(long long dividend, long long divisor) {
  volatile long long d = divisor;
  return dividend / d;
}

namespace {
#if defined(_WIN32)
// MinGW's runtime has no feenableexcept: unmask the SSE traps in MXCSR,
// whose mask bits lie 7 above the flags <fenv.h> names.
void feenableexcept(int excepts) {
  unsigned int mxcsr;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  mxcsr &= ~(static_cast<unsigned int>(excepts & 0x3F) << 7);
  asm volatile("ldmxcsr %0" : : "m"(mxcsr));
}
#endif

__attribute__((noinline)) double trap_on(int excepts, double a, double b, char op) {
  feenableexcept(excepts);
  volatile double x = a, y = b;
  switch (op) {
    case '/':
      return x / y;
    case '*':
      return x * y;
    default:
      return x + y;
  }
}
}  // namespace

double sse_divide_by_zero(double x) { return trap_on(FE_DIVBYZERO, x, 0.0, '/'); }
double sse_overflow(double x) { return trap_on(FE_OVERFLOW, x, 1e308, '*'); }
double sse_underflow(double x) { return trap_on(FE_UNDERFLOW, x, 1e-308, '*'); }
double sse_inexact(double x) { return trap_on(FE_INEXACT, x, 3.0, '/'); }
double sse_invalid(double x) { return trap_on(FE_INVALID, x, x, '/'); }

__attribute__((noinline)) double sse_denormal(double tiny) {
  // The denormal-operand trap has no <fenv.h> name: unmask MXCSR bit 8.
  unsigned int mxcsr;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  mxcsr &= ~(1u << 8);
  asm volatile("ldmxcsr %0" : : "m"(mxcsr));
  volatile double x = tiny, y = 1.0;
  return x + y;
}

__attribute__((noinline)) void x87_stack_overflow() {
  // Unmask the x87 invalid-operation trap and push a ninth value onto the
  // eight-register stack.
  unsigned short cw = 0x037E;
  asm volatile(
      "fninit\n\tfldcw %0\n\t"
      "fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfwait"
      :
      : "m"(cw)
      : "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)");
}

__attribute__((noinline)) int misaligned_read(const void* address) {
  int value;
  asm volatile(
      "pushfq\n\torq $0x40000, (%%rsp)\n\tpopfq\n\t"
      "movl (%1), %0\n\t"
      "pushfq\n\tandq $~0x40000, (%%rsp)\n\tpopfq"
      : "=r"(value)
      : "r"(address)
      : "cc", "memory");
  return value;
}

__attribute__((noinline)) void illegal_instruction() { asm volatile("ud2"); }

__attribute__((noinline)) void privileged_instruction() { asm volatile("hlt"); }

__attribute__((noinline)) void breakpoint(std::uintptr_t* where) {
  asm volatile("leaq 0f(%%rip), %%rax\n\tmovq %%rax, (%0)\n0:\tint3\n\tnop"
               :
               : "r"(where)
               : "rax", "memory");
}

__attribute__((noinline)) void single_step(std::uintptr_t* where) {
  // The trap comes after the instruction that follows the popf setting the
  // trap flag, reporting the address of the next one.
  asm volatile(
      "leaq 0f(%%rip), %%rax\n\tmovq %%rax, (%0)\n\t"
      "pushfq\n\torq $0x100, (%%rsp)\n\tpopfq\n\tnop\n0:\tnop"
      :
      : "r"(where)
      : "rax", "cc", "memory");
}

}  // namespace faultgen
