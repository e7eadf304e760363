// The per-thread pools of fault records and the references exceptions hold
// on them (see fault_record.h for the lifetime rules).
#include "foundation/compiler.h"
#include "diagnostics/fault_record.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "diagnostics/fault_frames.h"
#include "foundation/kill_hold.h"

namespace krCore::detail {

struct fault_pool {
  // Enough for faults translated inside catch clauses of faults many levels
  // deep; a thread that keeps more records alive at once gets extra slots.
  static constexpr unsigned kSlots = 16;

  fault_slot slots[kSlots];
  // Extra slots, linked through fault_slot::next_extra, newest first. Made
  // by the signal handler when every slot is referred to, reused like the
  // others, freed with the pool. Pushed only by the owning thread; read by
  // stack walks on any thread.
  std::atomic<fault_slot*> extra{nullptr};
  std::atomic<int> refs{1};  // the owning thread plus every slot reference
  unsigned next_victim = 0;
  // Links of the list of live pools (guarded by g_pools_lock).
  fault_pool* prev = nullptr;
  fault_pool* next = nullptr;
};

namespace {

// Every live pool, so that a CONTEXT pointer can be recognised as a record's
// without reading through it. Taken only when a pool is born or dies and by
// stack walks, never in the signal handler (a pool cannot die there: its
// thread still owns it).
library_mutex g_pools_lock;
fault_pool* g_pools = nullptr;

void pool_register(fault_pool* pool) {
  std::lock_guard<library_mutex> lock(g_pools_lock);
  pool->next = g_pools;
  if (g_pools) g_pools->prev = pool;
  g_pools = pool;
}

// Takes `pool` off the list; g_pools_lock is held.
void pool_unlink(fault_pool* pool) noexcept {
  if (pool->prev)
    pool->prev->next = pool->next;
  else
    g_pools = pool->next;
  if (pool->next) pool->next->prev = pool->prev;
}

// Drops one reference to `pool`, freeing it with the last. On a thread that
// is ending (`thread_ended`) the list lock is taken without touching the
// thread's thread-locals.
void pool_release(fault_pool* pool, bool thread_ended = false) noexcept {
  if (pool->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (thread_ended) {
    g_pools_lock.lock_uncounted();
    pool_unlink(pool);
    g_pools_lock.unlock_uncounted();
  } else {
    std::lock_guard<library_mutex> lock(g_pools_lock);
    pool_unlink(pool);
  }
  for (fault_slot* slot = pool->extra.load(); slot;) {
    fault_slot* next = slot->next_extra;
    delete slot;
    slot = next;
  }
  delete pool;
}

// Trivially constructed so the signal handler can read them without a TLS
// initialisation call; initial-exec so reading them never allocates.
KRCORE_TLS_INITIAL_EXEC thread_local fault_pool* t_pool = nullptr;
KRCORE_TLS_INITIAL_EXEC thread_local fault_slot* t_pending = nullptr;

// Gives the pool up at thread exit; objects that still refer to its slots
// keep it alive until they are gone.
struct pool_owner {
  ~pool_owner() {
    if (fault_pool* pool = t_pool) {
      t_pool = nullptr;
      pool_release(pool);
    }
  }
};
thread_local pool_owner t_owner;

}  // namespace

void fault_pool_release_ended_thread(fault_pool* pool) noexcept {
  if (pool) pool_release(pool, true);
}

std::size_t fault_pool_live_count() noexcept {
  std::lock_guard<library_mutex> lock(g_pools_lock);
  std::size_t count = 0;
  for (const fault_pool* pool = g_pools; pool; pool = pool->next) ++count;
  return count;
}

fault_pool* fault_pool_attach_thread(bool release_at_exit) {
  if (t_pool) return t_pool;
  auto* pool = new fault_pool;
  for (fault_slot& slot : pool->slots) {
    slot.refs.store(0, std::memory_order_relaxed);
    slot.pool = pool;
  }
  pool_register(pool);
  if (release_at_exit) (void)&t_owner;  // odr-use: registers the thread-exit destructor
  t_pool = pool;
  return pool;
}

fault_slot* fault_slot_begin() {
  fault_slot_abandon_pending();
  fault_pool* pool = t_pool;
  if (!pool) return nullptr;
  auto take = [](fault_slot& candidate) {
    int expected = 0;
    return candidate.refs.compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
  };
  fault_slot* slot = nullptr;
  for (fault_slot& candidate : pool->slots) {
    if (take(candidate)) {
      slot = &candidate;
      break;
    }
  }
  for (fault_slot* candidate = pool->extra.load(std::memory_order_relaxed); !slot && candidate;
       candidate = candidate->next_extra) {
    if (take(*candidate)) slot = candidate;
  }
  if (!slot) {
    // Every record is still referred to. The handler allocates here, as the
    // throw that follows does anyway; only when that fails is the oldest
    // record of the pool reused.
    slot = new (std::nothrow) fault_slot;
    if (slot) {
      slot->refs.store(1, std::memory_order_relaxed);
      slot->pool = pool;
      slot->next_extra = pool->extra.load(std::memory_order_relaxed);
      pool->extra.store(slot, std::memory_order_release);
    } else {
      slot = &pool->slots[pool->next_victim++ % fault_pool::kSlots];
      slot->refs.fetch_add(1, std::memory_order_relaxed);
    }
  }
  pool->refs.fetch_add(1, std::memory_order_relaxed);

  std::memset(&slot->record, 0, sizeof slot->record);
  std::memset(&slot->context, 0, sizeof slot->context);
  slot->frame_count = 0;
  slot->pointers.ExceptionRecord = &slot->record;
  slot->pointers.ContextRecord = &slot->context;
  t_pending = slot;
  return slot;
}

void fault_slot_abandon_pending() {
  if (fault_slot* slot = t_pending) {
    t_pending = nullptr;
    fault_slot_release(slot);
  }
}

fault_slot* fault_slot_claim(EXCEPTION_POINTERS* pointers) noexcept {
  fault_slot* slot = t_pending;
  if (!slot || pointers != &slot->pointers) return nullptr;
  t_pending = nullptr;  // the pending reference passes to the caller
  return slot;
}

void fault_slot_retain(fault_slot* slot) noexcept {
  slot->refs.fetch_add(1, std::memory_order_relaxed);
  slot->pool->refs.fetch_add(1, std::memory_order_relaxed);
}

void fault_slot_release(fault_slot* slot) noexcept {
  fault_pool* pool = slot->pool;
  slot->refs.fetch_sub(1, std::memory_order_acq_rel);
  pool_release(pool);
  fault_record_released();
}

std::size_t fault_frames_of_context(const CONTEXT* context, const void** out,
                                    std::size_t capacity) noexcept {
  const auto where = reinterpret_cast<std::uintptr_t>(context);
  std::lock_guard<library_mutex> lock(g_pools_lock);
  auto copy_frames = [&](const fault_slot& slot) -> std::size_t {
    if (slot.refs.load(std::memory_order_acquire) == 0) return 0;
    const std::size_t n = slot.frame_count < capacity ? slot.frame_count : capacity;
    std::memcpy(out, slot.frames, n * sizeof *out);
    return n;
  };
  for (fault_pool* pool = g_pools; pool; pool = pool->next) {
    const auto first = reinterpret_cast<std::uintptr_t>(&pool->slots[0]);
    const auto last = reinterpret_cast<std::uintptr_t>(&pool->slots[fault_pool::kSlots]);
    if (where >= first && where < last) {
      const fault_slot& slot = pool->slots[(where - first) / sizeof(fault_slot)];
      return &slot.context == context ? copy_frames(slot) : 0;
    }
    for (const fault_slot* slot = pool->extra.load(std::memory_order_acquire); slot;
         slot = slot->next_extra) {
      if (&slot->context == context) return copy_frames(*slot);
    }
  }
  return 0;
}

// Grants the internal interfaces access to an exception's slot.
struct fault_access {
  static const fault_slot* slot(const se_translator::exception& e) noexcept { return e._slot; }
};

fault_frame_view fault_frames(const se_translator::exception& e) noexcept {
  const fault_slot* slot = fault_access::slot(e);
  if (!slot) return {};
  return {slot->frames, slot->frame_count};
}

}  // namespace krCore::detail
