// Fault generators for the translation tests: each function performs one
// kind of hardware fault. They live in their own source file, built with
// -fnon-call-exceptions, and take their addresses and operands as
// parameters, so the optimiser can neither see the fault nor remove it.
#pragma once

#include <cstdint>
#include <string>

namespace faultgen {

int read_at(const void* address);
void write_at(void* address);
void call_at(const void* address);
// Recurses until the stack is used up.
int exhaust_stack(int depth);
int divide(int dividend, int divisor);
long long divide64(long long dividend, long long divisor);

// Floating-point traps: each unmasks the one trap it raises (on the unit
// named) and performs an operation that raises it. The caller restores the
// default floating-point environment afterwards.
double sse_divide_by_zero(double x);
double sse_overflow(double x);
double sse_underflow(double x);
double sse_inexact(double x);
double sse_invalid(double x);
double sse_denormal(double tiny);
void x87_stack_overflow();

// Sets the alignment-check flag and reads a 4-byte value at `address`.
int misaligned_read(const void* address);
void illegal_instruction();
void privileged_instruction();
// Both store the address they report in `*where` before trapping.
void breakpoint(std::uintptr_t* where);
void single_step(std::uintptr_t* where);

// Reads address 8 twice, the fault analysed by `guard` each time as the
// library's users do it (in a catch-all at "work.cpp" line 7).
template <class Guard>
void read_null_twice_analysed(Guard& guard) {
  for (int i = 0; i < 2; ++i) {
    try {
      read_at(reinterpret_cast<void*>(0x8));
    } catch (...) {
      guard.Analyze("work.cpp", 7);
    }
  }
}

}  // namespace faultgen

// Built without -fnon-call-exceptions: the fault happens in a frame with
// cleanups whose unwind tables do not cover the faulting instruction.
namespace uncovered {
int read_with_cleanup(const int* address);
// Calls a function that faults before its first call, where its tables
// cover nothing, and catches the fault; returns its two strings,
// joined with '|', the second with "caught" appended.
std::string catch_in_caller(const int* address);
}
