// A console reporter that also keeps each benchmark's time per iteration, so
// that a benchmark program can print ratios to its peers after the table.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Prints the table as usual and records, per benchmark name, the CPU time
// per iteration, or the wall time for benchmarks that time themselves
// (manual time is reported as wall time).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  enum time_kind { cpu_time, wall_time };
  explicit RecordingReporter(time_kind kind = cpu_time) : _kind(kind) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration)
        times[run.benchmark_name()] =
            _kind == cpu_time ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
  }

  std::map<std::string, double> times;

 private:
  time_kind _kind;
};
