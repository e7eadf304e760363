// Internal: the command scheduler's time table, a binary min-heap whose
// items know their place.
//
// Commands are mostly added in no particular order and taken from the
// front. An ordered array or tree pays for its full order on every add (a
// search over cold memory and a shift of neighbours, or a dozen dependent
// pointer steps); a heap keeps only what taking from the front needs: an
// add is an append and, for a moment that lands at a random place, a step
// or two upwards on average. Taking the front costs a walk down the
// heap's height, which happens on the thread that runs due commands and
// not on the caller's. Each item's entry keeps its index in the heap
// (`Place`), so a command that is moved or removed leaves from the middle
// in logarithmic time without a search.
//
// The items live in chunks of fixed size rather than in one array: a
// growing array is copied to fresh memory at every doubling, which under
// the scheduler's lock stalls its thread for the copy and makes the table
// touch twice the memory it needs.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace krCore::detail {

// The chunk source of a heap that takes every chunk from the C++ heap.
struct own_chunks {
  void* operator()(std::size_t /*index*/, std::size_t /*bytes*/) const { return nullptr; }
};

// `T` is trivially copyable and unique under `Less` (a strict weak order);
// `Place(item)` returns a reference to an unsigned integer (wide enough for
// the heap's size) that stays the item's index here while it is in the
// heap. Not thread-safe. The chunks are kept when the
// heap drains, for the next fill.
//
// `Chunks(index, bytes)` may give the memory of chunk `index` (suitably
// aligned, outliving the heap, never freed by it) or return null, and the
// heap allocates the chunk itself; it may throw std::bad_alloc.
template <class T, class Less, class Place, class Chunks = own_chunks>
class time_heap {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  explicit time_heap(Chunks chunks = Chunks()) : _source(chunks) {}

  bool empty() const { return _size == 0; }
  std::size_t size() const { return _size; }
  // The smallest item; the heap must not be empty.
  const T& front() const { return _chunks.front()[0]; }
  // The item at `index` (below size()).
  const T& at(std::size_t index) const { return _chunks[index / kChunk][index % kChunk]; }

  // Adds `item`. Throws std::bad_alloc with the heap unchanged.
  void insert(const T& item) {
    if (_size == _chunks.size() * kChunk) {
      // Room first, doubling, so that the push below cannot throw.
      if (_chunks.size() == _chunks.capacity()) _chunks.reserve(2 * _chunks.size() + 1);
      if (void* given = _source(_chunks.size(), kChunk * sizeof(T)))
        _chunks.emplace_back(static_cast<T*>(given), chunk_release{false});
      else
        _chunks.emplace_back(new T[kChunk], chunk_release{true});
    }
    climb(_size++, item);
  }

  // Removes the item at `index` (as Place reports it).
  void erase(std::size_t index) {
    const std::size_t last = --_size;
    if (index != last) {
      at(index) = at(last);
      // The item moved in from the end may belong above or below.
      if (index > 0 && Less()(at(index), at(parent(index))))
        climb(index, at(index));
      else
        sift_down(index);
    }
  }

  // Hands the smallest items to `take` and removes them, as long as `due`
  // holds for them. An item for which `take` throws stays.
  template <class Due, class Take>
  void take_front_while(Due due, Take take) {
    while (!empty() && due(front())) {
      const T item = front();
      take(item);
      erase(0);
    }
  }

 private:
  static constexpr std::size_t kChunk = 1024;  // items per chunk

  static std::size_t parent(std::size_t i) { return (i - 1) / 2; }
  T& at(std::size_t i) { return _chunks[i / kChunk][i % kChunk]; }

  void put(std::size_t i, const T& item) {
    T& slot = at(i);
    slot = item;
    auto& place = Place()(slot);
    place = static_cast<std::remove_reference_t<decltype(place)>>(i);
  }

  // Puts `item` at the hole `i` or, while it is less than the hole's
  // parent, moves the parent down into the hole and climbs. The item is a
  // copy held aside, so a new one need not be stored at the end first.
  void climb(std::size_t i, const T item) {
    while (i > 0 && Less()(item, at(parent(i)))) {
      put(i, at(parent(i)));
      i = parent(i);
    }
    put(i, item);
  }

  void sift_down(std::size_t i) {
    const T item = at(i);
    const std::size_t n = _size;
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= n) break;
      if (child + 1 < n && Less()(at(child + 1), at(child))) ++child;
      if (!Less()(at(child), item)) break;
      put(i, at(child));
      i = child;
    }
    put(i, item);
  }

  // Frees a chunk the heap allocated; leaves one the source gave.
  struct chunk_release {
    bool owned;
    void operator()(T* chunk) const {
      if (owned) delete[] chunk;
    }
  };

  Chunks _source;
  std::vector<std::unique_ptr<T[], chunk_release>> _chunks;
  std::size_t _size = 0;
};

}  // namespace krCore::detail
