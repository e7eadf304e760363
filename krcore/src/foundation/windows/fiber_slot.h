// Internal (Windows): the library's fiber-local slots, each taken as its
// first value is set and given back as the library is unloaded. A slot's
// callback runs as a thread (or fiber) that holds a value ends, before the
// thread's thread-local storage is freed; unlike a C++ thread-exit
// destructor it does not keep the library loaded until the thread ends.
#pragma once

#include <windows.h>

#include <atomic>

namespace krCore::detail {

// The slot kept in `slot`, taken with `callback` on the first call. Threads
// that start together take one slot between them. FLS_OUT_OF_INDEXES when
// the process has none left. Thread-safe.
inline DWORD take_fiber_slot(std::atomic<DWORD>& slot, PFLS_CALLBACK_FUNCTION callback) {
  DWORD taken = slot.load(std::memory_order_acquire);
  if (taken != FLS_OUT_OF_INDEXES) return taken;
  const DWORD fresh = ::FlsAlloc(callback);
  if (fresh == FLS_OUT_OF_INDEXES || slot.compare_exchange_strong(taken, fresh)) return fresh;
  ::FlsFree(fresh);  // another thread took one first; nobody holds a value in this one
  return taken;
}

}  // namespace krCore::detail
