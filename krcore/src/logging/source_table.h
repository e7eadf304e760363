// Internal: the event-source registrations a platform half gave out, each
// under an id that serves as its handle.
//
// Ids are never reused, so a stale copy of an ended registration finds
// nothing (the caller answers the invalid-handle code) and never reaches a
// registration made since, even where the system would give a new
// registration the handle value of an ended one. Entries are shared: a
// report keeps its registration alive while it sends, so ending it
// concurrently cannot pull the system's resource from under the report.
#pragma once

#include <krcore/wintypes.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "foundation/kill_hold.h"

namespace krCore::detail {

// Thread-safe. add() may throw std::bad_alloc; find() and remove() never
// throw.
template <class Source>
class source_table {
 public:
  HANDLE add(std::shared_ptr<Source> source) {
    std::lock_guard<library_mutex> lock(_mutex);
    const std::uintptr_t id = _next++;
    _sources.emplace(id, std::move(source));
    return reinterpret_cast<HANDLE>(id);
  }
  // The registration of `handle`; null when it is not (or no longer) one.
  std::shared_ptr<Source> find(HANDLE handle) {
    std::lock_guard<library_mutex> lock(_mutex);
    const auto it = _sources.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == _sources.end() ? nullptr : it->second;
  }
  // Takes the registration of `handle` out of the table; null when there
  // was none.
  std::shared_ptr<Source> remove(HANDLE handle) {
    std::lock_guard<library_mutex> lock(_mutex);
    const auto it = _sources.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == _sources.end()) return nullptr;
    std::shared_ptr<Source> source = std::move(it->second);
    _sources.erase(it);
    return source;
  }

 private:
  library_mutex _mutex;
  std::uintptr_t _next = 1;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Source>> _sources;
};

}  // namespace krCore::detail
