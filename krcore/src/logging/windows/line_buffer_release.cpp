// The Windows half of freeing a thread's line buffer: a fiber-local slot
// whose callback frees it. The system runs the callback as the thread ends,
// before the thread-local block the slot lives in is freed, and on the
// freeing thread, for every thread that still holds a value, when the slot
// is given back as the library is unloaded. A thread that only deletes a
// fiber which logged has its buffer freed then and goes on without one.
#include <windows.h>

#include <atomic>

#include "logging/line_buffer_release.h"

namespace krCore::detail {
namespace {

void WINAPI on_thread_end(void* slot) { release_line_buffer(slot); }

// Taken as the first thread keeps a buffer, given back as the library is
// unloaded.
std::atomic<DWORD> g_buffer_slot{FLS_OUT_OF_INDEXES};

DWORD buffer_slot() {
  DWORD slot = g_buffer_slot.load(std::memory_order_acquire);
  if (slot != FLS_OUT_OF_INDEXES) return slot;
  const DWORD fresh = ::FlsAlloc(&on_thread_end);
  if (fresh == FLS_OUT_OF_INDEXES || g_buffer_slot.compare_exchange_strong(slot, fresh))
    return fresh;
  ::FlsFree(fresh);  // another thread took one first; nobody holds a value in this one
  return slot;
}

}  // namespace

bool release_line_buffer_at_thread_end(void* slot) noexcept {
  const DWORD index = buffer_slot();
  return index != FLS_OUT_OF_INDEXES && ::FlsSetValue(index, slot);
}

void release_line_buffer_slot() noexcept {
  const DWORD slot = g_buffer_slot.exchange(FLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
  if (slot != FLS_OUT_OF_INDEXES) ::FlsFree(slot);
}

}  // namespace krCore::detail
