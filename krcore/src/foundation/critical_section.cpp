// The recursive in-process lock and its scope holder.
//
// The lock is std::recursive_mutex and nothing else, so lock and unlock cost
// exactly what the platform lock costs; the diagnostics read the platform
// lock's own words (linux/critical_section.cpp).
#include <krcore/foundation.h>

namespace krCore {

critical_section::critical_section() = default;
critical_section::~critical_section() = default;

void critical_section::lock() { _mutex.lock(); }

void critical_section::unlock() { _mutex.unlock(); }

auto_lock::auto_lock(critical_section& cs) : _cs(cs), _locked(true) { _cs.lock(); }

auto_lock::~auto_lock() { unlock(); }

void auto_lock::unlock() {
  if (_locked) {
    _locked = false;
    _cs.unlock();
  }
}

}  // namespace krCore
