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

// Counts the forks that led to this process: 0 in a process that was
// started afresh, one more in each child. A cache of per-process facts
// keeps the generation it was filled in and refills when it differs.
KRCORE_INTERNAL unsigned fork_generation();

}  // namespace krCore::detail
