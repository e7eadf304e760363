// Starts Google Benchmark with the repetitions of all benchmarks interleaved
// at random, so that the load of other processes and whatever else drifts
// during a run (page cache, a virtual processor's time slices) fall on the
// peers alike instead of on whichever ran first.
#pragma once

#include <benchmark/benchmark.h>

#include <vector>

// Like benchmark::Initialize(&argc, argv), with
// --benchmark_enable_random_interleaving=true in front of the caller's
// arguments (a later flag on the command line still overrides it).
inline void initialize_interleaved(int argc, char** argv) {
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static std::vector<char*> args;
  args.assign(argv, argv + argc);
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
}
