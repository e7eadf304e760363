// Capturing the calling thread's own stack, and reading memory that may not
// be mapped (see symbols.h).
//
// The capture uses the C++ runtime's unwinder, the same one that fault
// translation walks with, so both see the same frames; it runs on the
// calling thread and needs neither a helper thread nor the symbol handler.
#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unwind.h>

#include <cerrno>

#include "diagnostics/symbols.h"

namespace krCore::detail {
namespace {

struct capture_state {
  stack_frame* frames;
  std::size_t capacity;
  std::size_t count;
  unsigned skip;
};

_Unwind_Reason_Code capture_frame(_Unwind_Context* ctx, void* arg) {
  auto* st = static_cast<capture_state*>(arg);
  int before_insn = 0;
  const std::uintptr_t ip = _Unwind_GetIPInfo(ctx, &before_insn);
  if (ip == 0) return _URC_END_OF_STACK;
  if (st->skip > 0) {
    --st->skip;
    return _URC_NO_REASON;
  }
  st->frames[st->count++] = stack_frame{ip, before_insn != 0};
  return st->count == st->capacity ? _URC_END_OF_STACK : _URC_NO_REASON;
}

}  // namespace

__attribute__((noinline)) std::size_t capture_own_stack(stack_frame* frames, std::size_t capacity,
                                                        unsigned skip) {
  if (capacity == 0) return 0;
  // The first frame the unwinder reports is this function's own.
  capture_state st{frames, capacity, 0, skip + 1};
  _Unwind_Backtrace(&capture_frame, &st);
  return st.count;
}

bool safe_read(const void* address, void* out, std::size_t size) noexcept {
  // The kernel copies from our own address space and reports an unmapped
  // source as an error instead of a fault.
  iovec local{out, size};
  iovec remote{const_cast<void*>(address), size};
  const ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (n >= 0 || (errno != ENOSYS && errno != EPERM)) return n == static_cast<ssize_t>(size);
  // Where a sandbox forbids that call, a write into a pipe checks the source
  // the same way (EFAULT), and the bytes are read back out of the pipe.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < size;) {
    const std::size_t chunk = size - done < PIPE_BUF ? size - done : PIPE_BUF;
    ok = write(fds[1], static_cast<const char*>(address) + done, chunk) ==
             static_cast<ssize_t>(chunk) &&
         read(fds[0], static_cast<char*>(out) + done, chunk) == static_cast<ssize_t>(chunk);
    done += chunk;
  }
  close(fds[0]);
  close(fds[1]);
  return ok;
}

}  // namespace krCore::detail
