// The Linux half of the threads' log slots: a thread-local slot, trivially
// destructible so that it stays usable for the whole life of the thread (a
// line logged after the thread's destructors began finds it marked
// `ended`), and a thread-exit destructor that frees its buffer.
#include "foundation/compiler.h"
#include "logging/line_slot.h"

namespace krCore::detail {
namespace {

// The initial-exec model reaches the slot without a call into the dynamic
// linker on every line; the slot is small enough for the static TLS space
// the loader keeps for libraries loaded later.
KRCORE_TLS_INITIAL_EXEC thread_local thread_slot t_slot;

// Frees the thread's buffer when the thread's destructors run; constructed
// with the first buffer, so a thread that never logs registers nothing.
struct slot_release {
  ~slot_release() {
    delete[] t_slot.buffer;
    t_slot.buffer = nullptr;
    t_slot.capacity = 0;
    t_slot.ended = true;
  }
};
thread_local slot_release t_release;

}  // namespace

thread_slot& this_thread_slot() noexcept { return t_slot; }

void free_line_buffer_at_thread_end() noexcept { (void)&t_release; }

}  // namespace krCore::detail
