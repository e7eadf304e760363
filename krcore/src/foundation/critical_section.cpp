// The recursive in-process lock and its scope holder.
//
// The lock is std::recursive_mutex; besides it, each lock and unlock only
// counts the held region, so that a forced end never leaves the lock held
// (see kill_hold.h). The diagnostics read the platform lock's own words
// (linux/critical_section.cpp); where the runtime keeps them private
// (Windows), the lock counts its owner and depth itself.
#include <krcore/foundation.h>

#include "foundation/compiler.h"
#include "foundation/kill_hold.h"

namespace krCore {
namespace detail {

constinit KRCORE_TLS_INITIAL_EXEC thread_local unsigned t_kill_hold = 0;
constinit KRCORE_TLS_INITIAL_EXEC thread_local bool t_kill_held_off = false;
constinit KRCORE_TLS_INITIAL_EXEC thread_local lock_probe t_lock_probe = nullptr;

}  // namespace detail

critical_section::critical_section() = default;
critical_section::~critical_section() = default;

#if defined(_WIN32)
// The owner's token is the address of one of its thread-locals: unique
// among the threads alive, and no system header needed.
void critical_section::lock() {
  _mutex.lock();
  detail::enter_kill_hold();
  _depth.store(_depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  _owner.store(&detail::t_kill_hold, std::memory_order_relaxed);
}

void critical_section::unlock() {
  const long depth = _depth.load(std::memory_order_relaxed) - 1;
  if (depth == 0) _owner.store(nullptr, std::memory_order_relaxed);
  _depth.store(depth, std::memory_order_relaxed);
  _mutex.unlock();
  detail::leave_kill_hold();
}

long critical_section::lockcount() {
  return _owner.load(std::memory_order_relaxed) == nullptr ? -1 : 0;
}

long critical_section::recursioncount() {
  if (_owner.load(std::memory_order_relaxed) == nullptr) return 0;
  return _depth.load(std::memory_order_relaxed);
}
#else
void critical_section::lock() {
  _mutex.lock();
  detail::enter_kill_hold();
}

void critical_section::unlock() {
  _mutex.unlock();
  detail::leave_kill_hold();
}
#endif

auto_lock::auto_lock(critical_section& cs) : _cs(cs), _locked(true) { _cs.lock(); }

auto_lock::~auto_lock() { unlock(); }

void auto_lock::unlock() {
  if (_locked) {
    _locked = false;
    _cs.unlock();
  }
}

}  // namespace krCore
