// The cost of one fault-to-catch round trip: a read of an unmapped address
// translated into se_translator::access_violation and caught, against its
// peers — an ordinary C++ throw and catch, and the classic C recovery from
// SIGSEGV with sigsetjmp/siglongjmp (which gives no typed exception, no
// record and no unwinding of destructors).
#include <benchmark/benchmark.h>
#include <krcore/se_translator.h>
#include <setjmp.h>
#include <signal.h>

#include <cstdio>
#include <stdexcept>

#include "recording_reporter.h"

namespace {

// Built with -fnon-call-exceptions (bench/extra.cmake); the address comes
// through a volatile so the read cannot be folded away.
void* volatile g_bad_address = reinterpret_cast<void*>(0x10);

__attribute__((noinline)) int read_bad() { return *static_cast<volatile int*>(g_bad_address); }

__attribute__((noinline)) void throw_plain() { throw std::runtime_error("plain"); }

void BM_TranslatedFault(benchmark::State& state) {
  se_translator guard;
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(read_bad());
    } catch (const se_translator::access_violation& e) {
      benchmark::DoNotOptimize(e.code());
    }
  }
}
BENCHMARK(BM_TranslatedFault);

void BM_CppThrowCatch(benchmark::State& state) {
  for (auto _ : state) {
    try {
      throw_plain();
    } catch (const std::runtime_error& e) {
      benchmark::DoNotOptimize(e.what());
    }
  }
}
BENCHMARK(BM_CppThrowCatch);

thread_local sigjmp_buf t_jump;
void jump_back(int) { siglongjmp(t_jump, 1); }

void BM_SigsetjmpRecovery(benchmark::State& state) {
  struct sigaction sa {
  }, previous{};
  sa.sa_handler = &jump_back;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, &previous);
  for (auto _ : state) {
    if (sigsetjmp(t_jump, 1) == 0) benchmark::DoNotOptimize(read_bad());
  }
  sigaction(SIGSEGV, &previous, nullptr);
}
BENCHMARK(BM_SigsetjmpRecovery);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter(RecordingReporter::wall_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto& t = reporter.times;
  if (t["BM_TranslatedFault"] > 0 && t["BM_CppThrowCatch"] > 0 && t["BM_SigsetjmpRecovery"] > 0) {
    std::printf("translated fault / C++ throw-catch:      %.1fx\n",
                t["BM_TranslatedFault"] / t["BM_CppThrowCatch"]);
    std::printf("translated fault / sigsetjmp recovery:   %.1fx\n",
                t["BM_TranslatedFault"] / t["BM_SigsetjmpRecovery"]);
  }
  return 0;
}
