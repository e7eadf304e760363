// The process-wide handle table.
//
// A handle is not a pointer: it is a slot index plus the slot's generation,
// so a stale or twice-closed handle is recognised and fails with 6 instead of
// reaching freed memory. Each slot has one 64-bit state word
// [generation:32][open:1][references:31]; a lookup takes a reference with one
// compare-and-swap and no lock, so waits on handles stay cheap. Closing
// clears the open bit; whoever drops the last reference of a closed slot
// frees the object and recycles the slot with the next generation. A wait
// thus holds the objects it sleeps on, and closing a handle during the wait
// is safe.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include <krcore/foundation.h>

#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "foundation/waitable.h"
#include "foundation/linux/object.h"

namespace krCore::detail {
namespace {

constexpr std::uint32_t kChunkBits = 12;
constexpr std::uint32_t kChunkSize = 1u << kChunkBits;
constexpr std::uint32_t kMaxChunks = 256;  // about a million open handles
constexpr std::uint64_t kOpenBit = 1ull << 31;
constexpr std::uint64_t kRefMask = kOpenBit - 1;

struct slot {
  std::atomic<std::uint64_t> state{1ull << 32};  // generation 1, closed, no references
  waitable* object = nullptr;
  std::uint32_t index = 0;
};

class handle_table {
 public:
  HANDLE insert(waitable* object) {
    std::uint32_t index;
    {
      std::lock_guard<library_mutex> lock(_mutex);
      if (!_free.empty()) {
        index = _free.back();
        _free.pop_back();
      } else {
        if (_next == kChunkSize * kMaxChunks) return nullptr;
        index = _next++;
        if ((index & (kChunkSize - 1)) == 0) {
          slot* chunk = new slot[kChunkSize];
          for (std::uint32_t i = 0; i < kChunkSize; ++i) chunk[i].index = index + i;
          _chunks[index >> kChunkBits].store(chunk, std::memory_order_release);
        }
      }
    }
    slot& s = *at(index);
    s.object = object;
    // The slot is closed with no references, so nobody else writes it now.
    std::uint64_t st = s.state.load(std::memory_order_relaxed);
    s.state.store((st & ~kRefMask) | kOpenBit, std::memory_order_release);
    return encode(index, static_cast<std::uint32_t>(st >> 32));
  }

  // Takes a reference on the slot of an open handle; null when not open.
  slot* acquire(HANDLE h) {
    std::uint32_t index, gen;
    if (!decode(h, index, gen)) return nullptr;
    slot& s = *at(index);
    std::uint64_t st = s.state.load(std::memory_order_acquire);
    for (;;) {
      if ((st >> 32) != gen || !(st & kOpenBit) || (st & kRefMask) == kRefMask) return nullptr;
      if (s.state.compare_exchange_weak(st, st + 1, std::memory_order_acquire)) return &s;
    }
  }

  void unref(slot& s) {
    std::uint64_t st = s.state.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if ((st & (kOpenBit | kRefMask)) == 0) reclaim(s, st);
  }

  bool close(HANDLE h) {
    std::uint32_t index, gen;
    if (!decode(h, index, gen)) return false;
    slot& s = *at(index);
    std::uint64_t st = s.state.load(std::memory_order_acquire);
    for (;;) {
      if ((st >> 32) != gen || !(st & kOpenBit)) return false;
      if (s.state.compare_exchange_weak(st, st & ~kOpenBit, std::memory_order_acq_rel)) break;
    }
    st &= ~kOpenBit;
    if ((st & kRefMask) == 0) reclaim(s, st);
    return true;
  }

 private:
  // Runs once per closed slot: the transition to "closed, unreferenced"
  // happens exactly once per generation.
  void reclaim(slot& s, std::uint64_t st) {
    waitable* object = s.object;
    s.object = nullptr;
    std::uint32_t gen = static_cast<std::uint32_t>(st >> 32) + 1;
    if (gen == 0) gen = 1;
    s.state.store(static_cast<std::uint64_t>(gen) << 32, std::memory_order_release);
    {
      std::lock_guard<library_mutex> lock(_mutex);
      _free.push_back(s.index);
    }
    object->release();
  }

  slot* at(std::uint32_t index) {
    return _chunks[index >> kChunkBits].load(std::memory_order_acquire) + (index & (kChunkSize - 1));
  }

  // Value layout: generation in the upper half, index + 1 in the lower, so
  // a handle is never null and never the all-bits-set invalid value.
  static HANDLE encode(std::uint32_t index, std::uint32_t gen) {
    return reinterpret_cast<HANDLE>((static_cast<std::uintptr_t>(gen) << 32) | (index + 1));
  }
  bool decode(HANDLE h, std::uint32_t& index, std::uint32_t& gen) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    const std::uint32_t low = static_cast<std::uint32_t>(v);
    gen = static_cast<std::uint32_t>(v >> 32);
    if (low == 0 || gen == 0 || gen == 0xFFFFFFFF) return false;
    index = low - 1;
    return index < kChunkSize * kMaxChunks &&
           _chunks[index >> kChunkBits].load(std::memory_order_acquire) != nullptr;
  }

  library_mutex _mutex;
  std::vector<std::uint32_t> _free;
  std::uint32_t _next = 0;
  std::atomic<slot*> _chunks[kMaxChunks] = {};
};

// Never destroyed: handles may be closed from static destructors and from
// threads still running at exit.
handle_table& table() {
  static handle_table* t = new handle_table;
  return *t;
}

}  // namespace

void waitable::release() {
  if (_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
}

HANDLE make_handle(waitable* object) {
  HANDLE h = table().insert(object);
  if (!h) object->release();
  return h;
}

waitable* lookup_handle(HANDLE handle) {
  slot* s = table().acquire(handle);
  if (!s) return nullptr;
  waitable* object = s->object;
  object->add_ref();
  table().unref(*s);
  return object;
}

unsigned waiter_count(HANDLE handle) {
  waitable* object = lookup_handle(handle);
  if (!object) return 0;
  const unsigned count = object->waiters().load();
  object->release();
  return count;
}

handle_ref::handle_ref(HANDLE handle) {
  slot* s = table().acquire(handle);
  if (!s) return;
  _slot = s;
  _object = s->object;
}

handle_ref::~handle_ref() {
  if (_slot) table().unref(*static_cast<slot*>(_slot));
}

bool close_handle(HANDLE handle) {
  if (table().close(handle)) return true;
  SetLastError(kErrorInvalidHandle);
  return false;
}

HANDLE duplicate_handle(HANDLE handle) {
  waitable* object = lookup_handle(handle);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  HANDLE h = make_handle(object);
  if (!h) SetLastError(kErrorNotEnoughMemory);
  return h;
}

}  // namespace krCore::detail
