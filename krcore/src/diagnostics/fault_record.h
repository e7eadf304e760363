// Internal: storage for the records of translated faults.
//
// A fault's record (EXCEPTION_POINTERS, EXCEPTION_RECORD, CONTEXT and the
// program counters captured at the fault) lives in a slot of a per-thread
// pool that is allocated when the thread installs a translator, so the
// signal handler does not allocate for it while fewer than 16 of the
// thread's records are referred to; beyond that it adds a slot to the pool.
// Every se_translator::exception made from a slot's record holds a
// reference to the slot; the slot is reused only when no object refers to
// it any more (or, should adding a slot fail for want of memory, the oldest
// is reused). That keeps the record valid while the exception is handled,
// while a second fault is translated inside the catch clause, while many
// objects are kept, and while a std::exception_ptr carries the object to
// another thread (the pool itself is reference-counted and outlives its
// thread when needed).
#pragma once

#include <krcore/wintypes.h>

#include <atomic>
#include <cstddef>

namespace krCore::detail {

struct fault_pool;

struct fault_slot {
  static constexpr std::size_t kMaxFrames = 64;

  EXCEPTION_POINTERS pointers;
  EXCEPTION_RECORD record;
  CONTEXT context;
  // frames[0] is the faulting instruction; later entries are return
  // addresses of the callers, innermost first.
  const void* frames[kMaxFrames];
  std::size_t frame_count;

  std::atomic<int> refs;
  fault_pool* pool;
  fault_slot* next_extra;  // the pool's next extra slot (extra slots only)
};

// Creates the calling thread's pool if it has none, and returns it. Throws
// std::bad_alloc. With `release_at_exit` a C++ thread-exit destructor gives
// the pool up; without, the platform half keeps the pool and gives it to
// fault_pool_release_ended_thread as the thread ends (on Windows a
// thread-exit destructor of a DLL's would keep the DLL loaded until the
// thread ends).
fault_pool* fault_pool_attach_thread(bool release_at_exit = true);

// Gives up `pool` (as fault_pool_attach_thread returned it) as its thread
// ends, the way the thread-exit destructor does elsewhere: objects that
// still refer to its slots keep it alive until they are gone. For the
// system's end-of-thread callbacks, which may run after the thread's
// thread-local storage is gone (MinGW emulates it, and frees it first on
// the C++ runtime's threads): reads no thread-local of the thread, and the
// pool is not used on it again.
void fault_pool_release_ended_thread(fault_pool* pool) noexcept;

// The pools alive now: owned by a thread, or kept by an object that refers
// to one of their records. For tests.
std::size_t fault_pool_live_count() noexcept;

// Signal-handler side: takes a slot of the calling thread's pool that no
// object refers to (adding one when every one is referred to, or, only when
// that allocation fails, reusing the one taken longest ago), marks it as
// the record being translated and returns it cleared with its pointers
// wired. Null when the thread has no pool. Async-signal-safe except for
// that allocation, which the throw that follows makes anyway.
fault_slot* fault_slot_begin();

// Signal-handler side: a slot returned by fault_slot_begin whose record no
// object took over (the translator returned or threw something else) is
// released at the next fault or here. Async-signal-safe.
void fault_slot_abandon_pending();

// Exception side: when `pointers` is the record being translated on this
// thread, takes it over and returns its slot; otherwise null.
fault_slot* fault_slot_claim(EXCEPTION_POINTERS* pointers) noexcept;
void fault_slot_retain(fault_slot* slot) noexcept;
void fault_slot_release(fault_slot* slot) noexcept;

// The platform's part of a release (called by fault_slot_release on the
// releasing thread): what a fault used up of the thread that can only be
// set up again once its handling is over (on Windows, the stack's guard
// pages after an overflow).
void fault_record_released() noexcept;

// Stack-walk side: when `context` is the CONTEXT of a fault record that an
// object still refers to (on any thread), copies up to `capacity` of the
// program counters captured with that fault into `out` and returns how many;
// otherwise 0. Never dereferences `context` unless it is such a record.
std::size_t fault_frames_of_context(const CONTEXT* context, const void** out,
                                    std::size_t capacity) noexcept;

}  // namespace krCore::detail
