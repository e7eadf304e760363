// The cost of stack traces: capturing the calling thread's program counters,
// and turning a captured stack into symbolised text (module, function, file
// and line per frame) once the symbol handler is warm, against their glibc
// peers — backtrace() for the capture, and backtrace_symbols(), which names
// only exported functions and gives no file or line. The first trace of a
// process, which reads the modules' symbol and line tables, is timed once
// before the benchmarks run.
#include <benchmark/benchmark.h>
#include <execinfo.h>
#include <krcore/diagnostics.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "recording_reporter.h"
#include "diagnostics/symbols.h"

namespace {

constexpr int kDepth = 20;  // frames of our own below the benchmark loop

// Recurses `depth` frames, then runs `leaf`; the volatile keeps each call a
// real frame.
int (*volatile g_descend)(int, const std::function<void()>&) = nullptr;
__attribute__((noinline)) int descend(int depth, const std::function<void()>& leaf) {
  if (depth == 0) {
    leaf();
    return 0;
  }
  return g_descend(depth - 1, leaf) + 1;
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

void BM_CaptureOwnStack(benchmark::State& state) {
  krCore::detail::stack_frame frames[128];
  std::size_t n = 0;
  descend(kDepth, [&] {
    for (auto _ : state) {
      n = krCore::detail::capture_own_stack(frames, 128, 0);
      benchmark::DoNotOptimize(frames);
    }
  });
  state.counters["frames"] = static_cast<double>(n);
}
BENCHMARK(BM_CaptureOwnStack);

void BM_GlibcBacktrace(benchmark::State& state) {
  void* frames[128];
  int n = 0;
  descend(kDepth, [&] {
    for (auto _ : state) {
      n = backtrace(frames, 128);
      benchmark::DoNotOptimize(frames);
    }
  });
  state.counters["frames"] = n;
}
BENCHMARK(BM_GlibcBacktrace);

void BM_WarmSymbolisedTrace(benchmark::State& state) {
  std::size_t lines = 0;
  descend(kDepth, [&] {
    for (auto _ : state) {
      std::ostringstream os;
      sym_engine::stack_trace(os, 0, "%f(%l) : %m at %s\n");
      const std::string text = os.str();
      lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
      benchmark::DoNotOptimize(text);
    }
  });
  state.counters["frames"] = static_cast<double>(lines);
}
BENCHMARK(BM_WarmSymbolisedTrace)->Unit(benchmark::kMicrosecond);

void BM_GlibcBacktraceSymbols(benchmark::State& state) {
  int n = 0;
  descend(kDepth, [&] {
    for (auto _ : state) {
      void* frames[128];
      n = backtrace(frames, 128);
      char** names = backtrace_symbols(frames, n);
      benchmark::DoNotOptimize(names);
      std::free(names);
    }
  });
  state.counters["frames"] = n;
}
BENCHMARK(BM_GlibcBacktraceSymbols)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  g_descend = &descend;
  benchmark::Initialize(&argc, argv);
  // The first trace reads the symbol and line tables of every module on
  // the stack.
  const long rss_before = resident_kib();
  const auto start = std::chrono::steady_clock::now();
  descend(kDepth, [] {
    std::ostringstream os;
    sym_engine::stack_trace(os, 0, "%f(%l) : %m at %s\n");
  });
  const double first_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("first symbolised trace: %.1f ms, resident memory +%.1f MB\n", first_ms,
              (resident_kib() - rss_before) / 1024.0);
  // Each pair below shares its time unit, so the ratios need no conversion.
  RecordingReporter reporter(RecordingReporter::wall_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto& t = reporter.times;
  if (t["BM_CaptureOwnStack"] > 0 && t["BM_GlibcBacktrace"] > 0)
    std::printf("capture / glibc backtrace:                         %.2fx\n",
                t["BM_CaptureOwnStack"] / t["BM_GlibcBacktrace"]);
  if (t["BM_WarmSymbolisedTrace"] > 0 && t["BM_GlibcBacktraceSymbols"] > 0)
    std::printf(
        "warm symbolised trace / glibc backtrace_symbols:   %.1fx "
        "(ours adds files and lines, local functions)\n",
        t["BM_WarmSymbolisedTrace"] / t["BM_GlibcBacktraceSymbols"]);
  return 0;
}
