// Internal: what a forked child does before fork returns in it.
//
// A child of fork has one thread, the one that forked, and a copy of the
// parent's memory: facts the library caches per thread or per process (the
// thread's system id, the process id) would go on naming the parent. Their
// owners reset them here, so the fast paths that read them stay a plain load.
#pragma once

#include "foundation/internal.h"

namespace krCore::detail {

// Runs `reset` in every child of fork on its only thread, before fork
// returns there, in the order of registration. Meant for static
// initialisers; thread-safe. `reset` must not take locks the forking thread
// might not have held.
KRCORE_INTERNAL void at_fork_child(void (*reset)());

// Runs `prepare` in the forking thread just before a fork, then `parent`
// there after it, and `child` in the child on its only thread, before fork
// returns there. For an owner whose state other threads change under a
// lock: `prepare` takes the lock, so that the child gets a consistent copy,
// and the other two let it go. Prepare handlers run in the reverse order of
// registration, the others in the order. Thread-safe.
KRCORE_INTERNAL void at_fork(void (*prepare)(), void (*parent)(), void (*child)());

// The process-wide T, made on first use and never destroyed (it may be
// used during static destruction), whose member `mutex` (the lock of its
// state) is held across fork(): a child gets T between two changes, never
// with that lock held. Thread-safe.
template <class T>
T& lasting_across_fork() {
  static T* const object = [] {
    T* made = new T;
    at_fork([] { lasting_across_fork<T>().mutex.lock(); },
            [] { lasting_across_fork<T>().mutex.unlock(); },
            [] { lasting_across_fork<T>().mutex.unlock(); });
    return made;
  }();
  return *object;
}

// Counts the forks that led to this process: 0 in a process that was
// started afresh, one more in each child. A cache of per-process facts
// keeps the generation it was filled in and refills when it differs.
KRCORE_INTERNAL unsigned fork_generation();

}  // namespace krCore::detail
