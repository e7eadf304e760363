// Fork-child hooks on Linux: pthread_atfork's child handlers.
#include "foundation/fork_child.h"

#include <pthread.h>

#include <atomic>

namespace krCore::detail {
namespace {

std::atomic<unsigned> g_generation{0};

void count_fork() { g_generation.fetch_add(1, std::memory_order_relaxed); }

// Registers the counter once, whichever static initialiser asks first, and
// before any owner's reset, so a reset that reads the generation sees the
// child's.
void count_forks() {
  static const int registered = ::pthread_atfork(nullptr, nullptr, &count_fork);
  (void)registered;
}

const int g_counting = (count_forks(), 0);

}  // namespace

void at_fork_child(void (*reset)()) {
  count_forks();
  ::pthread_atfork(nullptr, nullptr, reset);
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
  count_forks();
  ::pthread_atfork(prepare, parent, child);
}

unsigned fork_generation() {
  (void)g_counting;
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace krCore::detail
