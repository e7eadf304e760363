// Functions that fault at a known source line, for the trace tests. Built
// with -fnon-call-exceptions in their own file, so the optimiser sees
// neither the fault nor the caller.
#pragma once

namespace tracetarget {

// Reads through `p`; the read is at line kReadLine of trace_targets.cpp.
int read_through(const volatile int* p);
extern const int kReadLine;

// Writes 1 to `out`, then reads through `p`; the read is at line
// kReadAfterWriteLine, the write on the line before.
int read_after_write(volatile int* out, const volatile int* p);
extern const int kReadAfterWriteLine;

// Calls a function with internal linkage, fault_in_static(), that reads
// through `p`.
int via_static(const volatile int* p);

// Calls `fn`, which may be a bad pointer, and adds one to its result.
int call_through(int (*fn)());

}  // namespace tracetarget
