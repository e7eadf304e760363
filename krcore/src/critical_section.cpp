// The recursive in-process lock and its scope holder.
//
// The lock itself is std::recursive_mutex; the two counters beside it exist
// only for the lock's diagnostics (lockcount, recursioncount), which are read
// without taking the lock.
#include <krcore/foundation.h>

namespace krCore {

critical_section::critical_section() = default;
critical_section::~critical_section() = default;

void critical_section::lock() {
  _contenders.fetch_add(1, std::memory_order_relaxed);
  _mutex.lock();
  // Only the owner writes the depth, so a plain store suffices.
  _recursion.store(_recursion.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void critical_section::unlock() {
  _recursion.store(_recursion.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  _mutex.unlock();
  _contenders.fetch_sub(1, std::memory_order_relaxed);
}

long critical_section::lockcount() { return _contenders.load(std::memory_order_relaxed) - 1; }

long critical_section::recursioncount() { return _recursion.load(std::memory_order_relaxed); }

auto_lock::auto_lock(critical_section& cs) : _cs(cs), _locked(true) { _cs.lock(); }

auto_lock::~auto_lock() { unlock(); }

void auto_lock::unlock() {
  if (_locked) {
    _locked = false;
    _cs.unlock();
  }
}

}  // namespace krCore
