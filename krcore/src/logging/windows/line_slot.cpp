// The Windows half of the threads' log slots: each thread's slot is
// allocated with its first line and kept in a fiber-local slot whose
// callback frees it with its buffer, as the thread ends or, for every
// thread that still holds one, as FreeLibrary unloads the library. A thread
// that logs after its callbacks ran (from a thread-exit destructor) gets a
// fresh slot that nothing frees; one for which no slot can be kept writes
// each line through a buffer of its own.
#include <windows.h>

#include <atomic>
#include <new>

#include "logging/line_slot.h"

namespace krCore::detail {
namespace {

void WINAPI free_slot(void* value) {
  auto* slot = static_cast<thread_slot*>(value);
  delete[] slot->buffer;
  delete slot;
}

std::atomic<DWORD> g_slots{FLS_OUT_OF_INDEXES};

DWORD slots() {
  DWORD slot = g_slots.load(std::memory_order_acquire);
  if (slot != FLS_OUT_OF_INDEXES) return slot;
  const DWORD fresh = ::FlsAlloc(&free_slot);
  if (fresh == FLS_OUT_OF_INDEXES || g_slots.compare_exchange_strong(slot, fresh)) return fresh;
  ::FlsFree(fresh);  // another thread took one first; nobody holds a value in this one
  return slot;
}

// For a thread that cannot keep a slot: trivially destructible, and ended
// from the start.
thread_local thread_slot t_unkept{nullptr, 0, nullptr, 0, false, true};

}  // namespace

thread_slot& this_thread_slot() noexcept {
  const DWORD index = slots();
  if (index == FLS_OUT_OF_INDEXES) return t_unkept;
  if (void* kept = ::FlsGetValue(index)) return *static_cast<thread_slot*>(kept);
  auto* made = new (std::nothrow) thread_slot;
  if (made && ::FlsSetValue(index, made)) return *made;
  delete made;
  return t_unkept;
}

void free_line_buffer_at_thread_end() noexcept {}

void release_line_slots() noexcept {
  const DWORD slot = g_slots.exchange(FLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
  if (slot != FLS_OUT_OF_INDEXES) ::FlsFree(slot);
}

}  // namespace krCore::detail
