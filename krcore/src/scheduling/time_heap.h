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
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace krCore::detail {

// `T` is trivially copyable and unique under `Less` (a strict weak order);
// `Place(item)` returns a `std::size_t&` that stays the item's index here
// while it is in the heap. Not thread-safe.
template <class T, class Less, class Place>
class time_heap {
 public:
  bool empty() const { return _items.empty(); }
  std::size_t size() const { return _items.size(); }
  // The smallest item; the heap must not be empty.
  const T& front() const { return _items.front(); }

  // Adds `item`. Throws std::bad_alloc with the heap unchanged.
  void insert(const T& item) {
    _items.push_back(item);
    sift_up(_items.size() - 1);
  }

  // Removes the item at `index` (as Place reports it).
  void erase(std::size_t index) {
    const std::size_t last = _items.size() - 1;
    if (index != last) {
      _items[index] = _items[last];
      _items.pop_back();
      // The item moved in from the end may belong above or below.
      if (index > 0 && Less()(_items[index], _items[parent(index)]))
        sift_up(index);
      else
        sift_down(index);
    } else {
      _items.pop_back();
    }
  }

  // Hands the smallest items to `take` and removes them, as long as `due`
  // holds for them. An item for which `take` throws stays.
  template <class Due, class Take>
  void take_front_while(Due due, Take take) {
    while (!empty() && due(_items.front())) {
      const T item = _items.front();
      take(item);
      erase(0);
    }
  }

 private:
  static std::size_t parent(std::size_t i) { return (i - 1) / 2; }

  void put(std::size_t i, const T& item) {
    _items[i] = item;
    Place()(_items[i]) = i;
  }

  void sift_up(std::size_t i) {
    const T item = _items[i];
    while (i > 0 && Less()(item, _items[parent(i)])) {
      put(i, _items[parent(i)]);
      i = parent(i);
    }
    put(i, item);
  }

  void sift_down(std::size_t i) {
    const T item = _items[i];
    const std::size_t n = _items.size();
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= n) break;
      if (child + 1 < n && Less()(_items[child + 1], _items[child])) ++child;
      if (!Less()(_items[child], item)) break;
      put(i, _items[child]);
      i = child;
    }
    put(i, item);
  }

  std::vector<T> _items;
};

}  // namespace krCore::detail
