// Internal (Windows): whether a suspended library thread stands where the
// forced end may end it (native_thread.cpp), judged from its stack.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

namespace krCore::detail {

#if defined(_WIN64)
// The part of a thread's stack that a walk may read: every frame lies inside,
// and nothing outside is read.
struct stack_bounds {
  std::uintptr_t low = 0, high = 0;
  stack_bounds(std::uintptr_t lowest, std::uintptr_t highest) : low(lowest), high(highest) {}
  // The committed stack that a thread information block describes.
  explicit stack_bounds(const void* teb);
  bool holds(std::uintptr_t sp) const { return sp >= low && sp < high && high - sp >= 8; }
};

// Steps `context` from the frame of the function at its Rip to its
// caller's: by the function's entry (in the image at `image_base`), or for
// a function that keeps no frame (null entry) by the return address on top
// of the stack. False when the stack pointer leaves the stack or does not
// move up. Takes no lock and allocates nothing.
bool unwind_frame(CONTEXT& context, std::uintptr_t image_base, RUNTIME_FUNCTION* function,
                  const stack_bounds& stack);
#endif

// What the judgement knows of the process's code, and the judgement itself.
// Construct it once, with no thread suspended: collecting the modules and
// their exports takes the loader's lock, which a suspended thread may hold.
// After that nothing it does allocates, logs or takes a lock, so it may
// look at a thread held suspended. Its calls are safe from any thread.
class stack_judge {
 public:
  // `thread_start` is the library's start function of its threads: the
  // frame where every walk down a library thread's stack ends.
  explicit stack_judge(const void* thread_start);
  ~stack_judge();
  stack_judge(const stack_judge&) = delete;
  stack_judge& operator=(const stack_judge&) = delete;

  // The thread information block of `thread` (which tells the bounds of its
  // stack); null when the handle may not ask, and always on x86, where no
  // walk is made.
  const void* teb_of(HANDLE thread) const;

  // True when the thread suspended at `context` stopped where it may be
  // ended: on x86-64, every frame from the top down to the thread's start
  // is the program's own code or the library's, the top one the program's
  // own or one of the system's plain waits its caller called; on x86 only a
  // wait the library flagged as its own (`library_wait`, the thread's flag;
  // may be null). `teb` is the thread's information block (null: unknown,
  // and so not safe on x86-64).
  bool safe_place(const CONTEXT& context, const void* teb, const bool* library_wait) const;

  // What it knows of the process's code (stack_walk.cpp).
  class code_map;

 private:
  std::unique_ptr<const code_map> _code;
};

}  // namespace krCore::detail
