// Internal: an ordered set of small trivially copyable items kept in sorted
// chunks of contiguous memory, with a sorted index of each chunk's first item.
//
// A balanced binary tree of 100,000 items takes some 17 dependent pointer
// steps per search, most of them cache misses once the tree outgrows the
// cache. Here a search is two binary searches in contiguous arrays: the index
// (small enough to stay in cache) and one chunk of at most kChunk items.
// Insertion and erasure shift the rest of one chunk; a full chunk splits in
// two, an empty one goes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <type_traits>
#include <vector>

namespace krCore::detail {

// Items are unique under `Less` (a strict weak order). Not thread-safe.
template <class T, class Less>
class sorted_chunks {
  static_assert(std::is_trivially_copyable_v<T>, "items are moved as bytes");

 public:
  static constexpr std::size_t kChunk = 128;

  bool empty() const { return _chunks.empty(); }
  // The smallest item; the set must not be empty.
  const T& front() const { return _chunks.front()->front(); }

  // Inserts `item` unless an equal one is there; true when inserted. Throws
  // std::bad_alloc with the set unchanged.
  bool insert(const T& item) {
    if (empty()) {
      auto first = new_chunk();
      first->push_back(item);
      _heads.reserve(1);
      _chunks.reserve(1);
      _heads.push_back(item);
      _chunks.push_back(std::move(first));
      return true;
    }
    std::size_t i = locate(item);
    if (_chunks[i]->size() == kChunk) {
      split(i);
      i = locate(item);
    }
    chunk& c = *_chunks[i];
    const auto it = std::lower_bound(c.begin(), c.end(), item, Less());
    if (it != c.end() && !Less()(item, *it)) return false;
    c.insert(it, item);  // a chunk has room for kChunk items: no allocation
    _heads[i] = c.front();
    return true;
  }

  // Erases the item equal to `probe`; false when there is none.
  bool erase(const T& probe) {
    if (empty()) return false;
    const std::size_t i = locate(probe);
    chunk& c = *_chunks[i];
    const auto it = std::lower_bound(c.begin(), c.end(), probe, Less());
    if (it == c.end() || Less()(probe, *it)) return false;
    c.erase(it);
    settle(i);
    return true;
  }

  // Hands the smallest items to `take` and erases them, as long as `due`
  // holds for them. An item for which `take` throws is not erased.
  template <class Due, class Take>
  void take_front_while(Due due, Take take) {
    while (!empty()) {
      chunk& c = *_chunks.front();
      auto end = c.begin();
      try {
        for (; end != c.end() && due(*end); ++end) take(*end);
      } catch (...) {
        // What was taken goes; the item `take` threw for stays.
        c.erase(c.begin(), end);
        settle(0);
        throw;
      }
      c.erase(c.begin(), end);
      const bool whole = c.empty();
      settle(0);
      if (!whole) return;
    }
  }

 private:
  using chunk = std::vector<T>;

  static std::unique_ptr<chunk> new_chunk() {
    auto c = std::make_unique<chunk>();
    c->reserve(kChunk);
    return c;
  }

  // The chunk where `item` is or belongs: the last whose first item is not
  // greater, or the first chunk.
  std::size_t locate(const T& item) const {
    const auto it = std::upper_bound(_heads.begin(), _heads.end(), item, Less());
    return it == _heads.begin() ? 0 : static_cast<std::size_t>(it - _heads.begin() - 1);
  }

  // Moves the upper half of a full chunk into a new chunk after it. Throws
  // std::bad_alloc with the set unchanged.
  void split(std::size_t i) {
    auto upper = new_chunk();
    _heads.reserve(_heads.size() + 1);
    _chunks.reserve(_chunks.size() + 1);
    // Nothing below allocates.
    chunk& c = *_chunks[i];
    const auto middle = c.begin() + static_cast<std::ptrdiff_t>(c.size() / 2);
    upper->assign(middle, c.end());
    c.erase(middle, c.end());
    const auto at = static_cast<std::ptrdiff_t>(i + 1);
    _heads.insert(_heads.begin() + at, upper->front());
    _chunks.insert(_chunks.begin() + at, std::move(upper));
  }

  // After an erasure in chunk i: drops it when empty, else renews its head
  // and takes in the next chunk when both fit in one, so that erasures do
  // not leave a long index of nearly empty chunks.
  void settle(std::size_t i) {
    chunk& c = *_chunks[i];
    if (c.empty()) {
      drop(i);
      return;
    }
    _heads[i] = c.front();
    if (c.size() < kChunk / 4 && i + 1 < _chunks.size() &&
        c.size() + _chunks[i + 1]->size() <= kChunk) {
      c.insert(c.end(), _chunks[i + 1]->begin(), _chunks[i + 1]->end());
      drop(i + 1);
    }
  }

  void drop(std::size_t i) {
    const auto at = static_cast<std::ptrdiff_t>(i);
    _chunks.erase(_chunks.begin() + at);
    _heads.erase(_heads.begin() + at);
  }

  std::vector<T> _heads;  // _heads[i] is the first item of _chunks[i]
  std::vector<std::unique_ptr<chunk>> _chunks;
};

}  // namespace krCore::detail
