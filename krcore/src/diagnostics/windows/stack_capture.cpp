// Stack walks on Windows (see symbols.h and stack_capture.h): the calling
// thread's own stack, a stack from a register set, and reads of memory that
// may not be mapped.
//
// On x86-64 each frame is stepped with its image's table of function
// entries (the same step the forced end of threads judges stacks with), so
// a walk sees the frames the system's exception dispatch sees. Return
// addresses are looked up one byte back, inside the call, since a call may
// be its function's last instruction.
#include "diagnostics/windows/stack_capture.h"

#include "foundation/compiler.h"
#include "threading/windows/stack_walk.h"

namespace krCore::detail {

void current_stack_range(std::uintptr_t* low, std::uintptr_t* high) noexcept {
  ULONG_PTR lowest = 0, highest = 0;
  ::GetCurrentThreadStackLimits(&lowest, &highest);
  *low = lowest;
  *high = highest;
}

std::size_t walk_from_context(const CONTEXT& start, bool exact, std::uintptr_t low,
                              std::uintptr_t high, stack_frame* frames,
                              std::size_t capacity) noexcept {
  if (capacity == 0) return 0;
#if defined(_WIN64)
  CONTEXT context = start;
  const stack_bounds stack(low, high);
  std::size_t count = 0;
  while (count < capacity && context.Rip != 0) {
    const bool at_instruction = count == 0 && exact;
    frames[count++] = stack_frame{static_cast<std::uintptr_t>(context.Rip), at_instruction};
    DWORD64 image_base = 0;
    RUNTIME_FUNCTION* function =
        ::RtlLookupFunctionEntry(context.Rip - (at_instruction ? 0 : 1), &image_base, nullptr);
    // Only the innermost function may be a leaf without an entry: every
    // caller has made a call.
    if (!function && count > 1) break;
    if (!unwind_frame(context, image_base, function, stack)) break;
  }
  return count;
#else
  (void)low;
  (void)high;
  frames[0] = stack_frame{static_cast<std::uintptr_t>(start.Eip), exact};
  return 1;
#endif
}

KRCORE_NOINLINE std::size_t capture_own_stack(stack_frame* frames, std::size_t capacity,
                                              unsigned skip) {
  if (capacity == 0) return 0;
#if defined(_WIN64)
  CONTEXT context;
  ::RtlCaptureContext(&context);  // this function's own frame, after the call
  std::uintptr_t low = 0, high = 0;
  current_stack_range(&low, &high);
  stack_frame found[256];
  const std::size_t walked = walk_from_context(context, false, low, high, found, 256);
  // found[0] lies in this function.
  std::size_t count = 0;
  for (std::size_t i = 1 + skip; i < walked && count < capacity; ++i) frames[count++] = found[i];
  KRCORE_KEEP_FRAME();
  return count;
#else
  void* found[62];
  const DWORD wanted = capacity < 62 ? static_cast<DWORD>(capacity) : 62;
  const USHORT n = ::RtlCaptureStackBackTrace(skip + 1, wanted, found, nullptr);
  for (USHORT i = 0; i < n; ++i)
    frames[i] = stack_frame{reinterpret_cast<std::uintptr_t>(found[i]), false};
  return n;
#endif
}

bool safe_read(const void* address, void* out, std::size_t size) noexcept {
  // The system copies from our own address space and reports an unreadable
  // source as a failure instead of a fault.
  SIZE_T done = 0;
  return ::ReadProcessMemory(::GetCurrentProcess(), address, out, size, &done) && done == size;
}

}  // namespace krCore::detail
