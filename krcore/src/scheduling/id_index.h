// Internal: the command scheduler's index of commands by ID, a hash table
// with open addressing.
//
// The scheduler's IDs are random GUIDs, so their bits are already spread
// evenly: finding, adding or dropping an ID costs one probe into a flat
// array, where an ordered table costs a binary search over cold memory and a
// shift of its neighbours. Collisions go to the next slot (linear probing)
// and an erasure pulls the slots after it back (backward shift), so no
// tombstones pile up under steady adding and taking.
//
// A random ID lands in a random slot, which in a large table is not in the
// processor's cache; prefetch() lets the caller start that fetch before it
// takes the lock, so that it overlaps the caller's other work.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "foundation/compiler.h"
#include "foundation/large_blocks.h"

namespace krCore::detail {

// Maps keys to entries that know their own key (`entry->key()`, of a type with
// `high`, `low` and `other` like command_key). Keys are unique. Not
// thread-safe, except prefetch(). The table grows to keep at most half its
// slots in use and never shrinks: rehashing a drained table would stall the
// thread that takes commands, and the table's entries stay allocated at
// their peak anyway.
//
// A slot holds 8 bytes: the high half of the key's hash, which picks the
// slot and tells most other keys apart without a look at their entry, and
// the entry's number (`entry->number`, below 2^32 - 1), which `Resolve`
// (an `Entry* (std::uint32_t)` callable) turns back into the entry. Half
// the size of a hash and a pointer: a large table touches half the memory.
template <class Entry, class Resolve>
class id_index {
 public:
  explicit id_index(Resolve resolve) : _resolve(resolve) {}
  id_index(const id_index&) = delete;
  id_index& operator=(const id_index&) = delete;

  std::size_t size() const { return _size; }

  // Asks the processor to fetch the slot where `key` would be looked for.
  // A hint only, so it may be called from any thread at any time: it reads
  // the table's place without the owner's lock and may fetch a stale line.
  template <class Key>
  void prefetch(const Key& key) const {
    const slot* slots = _hintSlots.load(std::memory_order_relaxed);
    const std::size_t mask = _hintMask.load(std::memory_order_relaxed);
    if (slots) KRCORE_PREFETCH(slots + (tag_of(key) & mask));
  }

  // The entry with `key`, or null.
  template <class Key>
  Entry* find(const Key& key) const {
    if (_size == 0) return nullptr;
    const std::uint32_t tag = tag_of(key);
    for (std::size_t i = home(tag);; i = next(i)) {
      const slot& s = _slots[i];
      if (!s.ref) return nullptr;
      if (s.tag == tag) {
        Entry* e = entry_of(s);
        if (same(e->key(), key)) return e;
      }
    }
  }

  // Adds `e` under its key unless an entry with that key is there; true
  // when added. Throws std::bad_alloc with the index unchanged.
  bool insert(Entry* e) {
    if ((_size + 1) * 2 > _capacity) resize(_capacity == 0 ? kMinSlots : _capacity * 2);
    const auto key = e->key();
    const std::uint32_t tag = tag_of(key);
    std::size_t i = home(tag);
    for (; _slots[i].ref; i = next(i))
      if (_slots[i].tag == tag && same(entry_of(_slots[i])->key(), key)) return false;
    _slots[i] = slot{tag, static_cast<std::uint32_t>(e->number) + 1};
    ++_size;
    return true;
  }

  // Drops the entry with `key`; false when there is none.
  template <class Key>
  bool erase(const Key& key) {
    if (_size == 0) return false;
    const std::uint32_t tag = tag_of(key);
    std::size_t hole = home(tag);
    for (;; hole = next(hole)) {
      if (!_slots[hole].ref) return false;
      if (_slots[hole].tag == tag && same(entry_of(_slots[hole])->key(), key)) break;
    }
    // Pull back every later slot of the run that may sit at the hole: one
    // whose home is not in the cyclic range (hole, its own position].
    for (std::size_t i = next(hole); _slots[i].ref; i = next(i)) {
      const std::size_t want = home(_slots[i].tag);
      const bool between = hole < i ? (hole < want && want <= i) : (hole < want || want <= i);
      if (!between) {
        _slots[hole] = _slots[i];
        hole = i;
      }
    }
    _slots[hole] = slot{0, 0};
    --_size;
    return true;
  }

 private:
  // Trivial, so that all-zero memory is a table of empty slots.
  struct slot {
    std::uint32_t tag;  // the high half of the key's hash
    std::uint32_t ref;  // the entry's number + 1; 0 for an empty slot
  };
  // Frees a slot array where it came from: the C heap, or a large block
  // of `large` bytes.
  struct free_slots {
    std::size_t large = 0;
    void operator()(slot* slots) const {
      if (large)
        large_block_free(slots, large);
      else
        std::free(slots);
    }
  };
  using slot_array = std::unique_ptr<slot[], free_slots>;
  static constexpr std::size_t kMinSlots = 64;
  // From this size on, a slot array is a large block (large_blocks.h), where
  // huge pages can back it: the fresh pages a large table's inserts touch
  // are then few huge ones. An array under half a block would leave most of
  // its block unused yet resident.
  static constexpr std::size_t kLargeFromBytes = kLargeBlockUnit / 2;

  template <class Key>
  static std::uint64_t hash_of(const Key& key) {
    if (key.other) return std::hash<std::wstring>()(*key.other);
    // Multiplying mixes the GUID's fixed version and variant bits away from
    // the low bits that pick the slot.
    return (key.high ^ (key.low * 0x9E3779B97F4A7C15ull)) * 0xD6E8FEB86659FD93ull;
  }
  template <class A, class B>
  static bool same(const A& a, const B& b) {
    if (a.other || b.other) return a.other && b.other && *a.other == *b.other;
    return a.high == b.high && a.low == b.low;
  }
  template <class Key>
  static std::uint32_t tag_of(const Key& key) {
    return static_cast<std::uint32_t>(hash_of(key) >> 32);
  }
  Entry* entry_of(const slot& s) const { return _resolve(s.ref - 1); }
  std::size_t home(std::uint32_t tag) const { return tag & (_capacity - 1); }
  std::size_t next(std::size_t i) const { return (i + 1) & (_capacity - 1); }

  void resize(std::size_t slots) {
    // Zero-filled memory that is not touched here: a large table comes as
    // fresh pages from the kernel, which are zero already, and zeroing them
    // here would touch every page of the table at once, where the inserts
    // touch them as they need them.
    const std::size_t bytes = slots * sizeof(slot);
    slot_array fresh;
    if (large_blocks_pay && bytes >= kLargeFromBytes) {
      const std::size_t large = large_block_size(bytes);
      fresh = slot_array(static_cast<slot*>(large_block_alloc(large)), free_slots{large});
    } else {
      fresh = slot_array(static_cast<slot*>(std::calloc(slots, sizeof(slot))));
    }
    if (!fresh) throw std::bad_alloc();
    slot_array old = std::exchange(_slots, std::move(fresh));
    const std::size_t old_capacity = std::exchange(_capacity, slots);
    for (std::size_t o = 0; o < old_capacity; ++o) {
      const slot& s = old[o];
      if (!s.ref) continue;
      std::size_t i = home(s.tag);
      while (_slots[i].ref) i = next(i);
      _slots[i] = s;
    }
    _hintSlots.store(_slots.get(), std::memory_order_relaxed);
    _hintMask.store(_capacity - 1, std::memory_order_relaxed);
  }
  Resolve _resolve;
  slot_array _slots;  // _capacity of them, a power of two, or none
  std::size_t _capacity = 0;
  std::size_t _size = 0;
  // The table's place for prefetch(), which reads it without the lock.
  std::atomic<const slot*> _hintSlots{nullptr};
  std::atomic<std::size_t> _hintMask{0};
};

}  // namespace krCore::detail
