// The recursive in-process lock and its scope holder.
//
// The lock is std::recursive_mutex; besides it, each lock and unlock only
// counts the held region, so that a forced end never leaves the lock held
// (see kill_hold.h). The diagnostics read the platform lock's own words
// (linux/critical_section.cpp).
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

void critical_section::lock() {
  _mutex.lock();
  detail::enter_kill_hold();
}

void critical_section::unlock() {
  _mutex.unlock();
  detail::leave_kill_hold();
}

auto_lock::auto_lock(critical_section& cs) : _cs(cs), _locked(true) { _cs.lock(); }

auto_lock::~auto_lock() { unlock(); }

void auto_lock::unlock() {
  if (_locked) {
    _locked = false;
    _cs.unlock();
  }
}

}  // namespace krCore
