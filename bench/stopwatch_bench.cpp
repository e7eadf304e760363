// Cost of a stopwatch read against a bare read of the clock it wraps.
//
// Each stopwatch read is measured beside its clock: BestRes, HighRes and
// ElapsedStopwatch against clock_gettime(CLOCK_MONOTONIC), LowRes against
// clock_gettime(CLOCK_BOOTTIME). Allocations during the timed loops are
// counted through a replaced global operator new: a read must allocate
// nothing. After the table, the ratio of every read to its bare clock.
#include <benchmark/benchmark.h>
#include <krcore/timing.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

#include "recording_reporter.h"

// The replaced operator new and delete are a matched malloc/free pair; GCC
// sees the free of a new-expression's pointer wherever it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs `read` in the timed loop and reports allocations per read.
template <class Read>
void measure(benchmark::State& state, Read read) {
  const long long before = g_allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(read());
  state.counters["allocs/read"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

long long clock_ns(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

void BM_clock_gettime_monotonic(benchmark::State& state) {
  measure(state, [] { return clock_ns(CLOCK_MONOTONIC); });
}
void BM_clock_gettime_boottime(benchmark::State& state) {
  measure(state, [] { return clock_ns(CLOCK_BOOTTIME); });
}
void BM_BestResStopwatch_Elapsed_s(benchmark::State& state) {
  krCore::BestResStopwatch sw(true);
  measure(state, [&] { return sw.Elapsed_s(); });
}
void BM_BestResStopwatch_Elapsed_s_via_interface(benchmark::State& state) {
  krCore::BestResStopwatch sw(true);
  const krCore::IStopwatch* base = &sw;
  benchmark::DoNotOptimize(base);
  measure(state, [&] { return base->Elapsed_s(); });
}
void BM_HighResStopwatch_Elapsed_Ticks(benchmark::State& state) {
  krCore::HighResStopwatch sw(true);
  measure(state, [&] { return sw.Elapsed_Ticks(); });
}
void BM_LowResStopwatch_Elapsed_Ticks(benchmark::State& state) {
  krCore::LowResStopwatch sw(true);
  measure(state, [&] { return sw.Elapsed_Ticks(); });
}
void BM_ElapsedStopwatch_Elapsed_s(benchmark::State& state) {
  krCore::ElapsedStopwatch sw(true);
  measure(state, [&] { return sw.Elapsed_s(); });
}
void BM_CountdownTimer_Left_ms(benchmark::State& state) {
  const krCore::CountdownTimer_t timer(60'000ul);
  measure(state, [&] { return timer.Left_ms(0); });
}

BENCHMARK(BM_clock_gettime_monotonic);
BENCHMARK(BM_clock_gettime_boottime);
BENCHMARK(BM_BestResStopwatch_Elapsed_s);
BENCHMARK(BM_BestResStopwatch_Elapsed_s_via_interface);
BENCHMARK(BM_HighResStopwatch_Elapsed_Ticks);
BENCHMARK(BM_LowResStopwatch_Elapsed_Ticks);
BENCHMARK(BM_ElapsedStopwatch_Elapsed_s);
BENCHMARK(BM_CountdownTimer_Left_ms);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // CPU time: on a shared machine the wall time also counts time spent
  // descheduled.
  RecordingReporter reporter(RecordingReporter::cpu_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const std::pair<const char*, const char*> pairs[] = {
      {"BM_BestResStopwatch_Elapsed_s", "BM_clock_gettime_monotonic"},
      {"BM_BestResStopwatch_Elapsed_s_via_interface", "BM_clock_gettime_monotonic"},
      {"BM_HighResStopwatch_Elapsed_Ticks", "BM_clock_gettime_monotonic"},
      {"BM_ElapsedStopwatch_Elapsed_s", "BM_clock_gettime_monotonic"},
      {"BM_CountdownTimer_Left_ms", "BM_clock_gettime_monotonic"},
      {"BM_LowResStopwatch_Elapsed_Ticks", "BM_clock_gettime_boottime"},
  };
  std::printf("\nRatio of each read to its bare clock read (CPU time per read):\n");
  for (const auto& [read, peer] : pairs) {
    const auto r = reporter.times.find(read), p = reporter.times.find(peer);
    if (r == reporter.times.end() || p == reporter.times.end()) continue;
    std::printf("  %-44s %6.2f ns = %5.2fx %s (%.2f ns)\n", read, r->second, r->second / p->second,
                peer, p->second);
  }
  return 0;
}
