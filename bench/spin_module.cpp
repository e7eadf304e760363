// A CPU loop in a module of its own, for the forced-end benchmark: the
// benchmark links the library's objects, and the library ends a thread at
// once only while it runs outside the library's module, as a thread of any
// program that links libqmcore.so does in its own code.
#include <atomic>

extern "C" __attribute__((visibility("default"), noinline)) void bench_spin_while(
    const std::atomic<bool>* flag) {
  while (flag->load(std::memory_order_relaxed)) {
  }
}
