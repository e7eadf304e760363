// The lock diagnostics of critical_section, read from the words of the glibc
// mutex behind std::recursive_mutex: __lock is 0 when free, 1 when held and
// 2 when held with waiters; __count is the owner's recursion depth. They are
// read with relaxed atomic loads and without the lock, as diagnostics may be.
#include <krcore/foundation.h>

#include <pthread.h>

namespace krCore {

static_assert(sizeof(std::recursive_mutex) == sizeof(pthread_mutex_t),
              "std::recursive_mutex is expected to be a bare pthread mutex");

long critical_section::lockcount() {
  pthread_mutex_t* m = _mutex.native_handle();
  return static_cast<long>(__atomic_load_n(&m->__data.__lock, __ATOMIC_RELAXED)) - 1;
}

long critical_section::recursioncount() {
  pthread_mutex_t* m = _mutex.native_handle();
  if (__atomic_load_n(&m->__data.__owner, __ATOMIC_RELAXED) == 0) return 0;
  return static_cast<long>(__atomic_load_n(&m->__data.__count, __ATOMIC_RELAXED));
}

}  // namespace krCore
