// Log file throughput: nanoseconds per line written to a file by our logger,
// by spdlog (buffered, and flushed after every line) and by a bare write()
// of a line of the same size as ours, with 1 and 2 threads, in one run on
// the same message.
//
// Our logger hands every line to the kernel before log() returns. spdlog's
// buffered sink does not (a crash loses what sits in its buffer); spdlog
// flushing after every line does, and is the fair peer. The bare write is
// the floor one thread cannot beat; several threads can, by batching lines
// into one system call.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <krcore/logging.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "interleaved.h"

namespace {

using krCore::logger;

// About 100 characters, as a typical line of the library.
const wchar_t kMessage[] =
    L"CommandScheduler::Run - work item [42] submitted to the pool after a delay of 250 ms, depth "
    L"[7]";
const char kNarrowMessage[] =
    "CommandScheduler::Run - work item [42] submitted to the pool after a delay of 250 ms, depth "
    "[7]";

const std::filesystem::path& bench_dir() {
  static const std::filesystem::path dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::filesystem::path base = (tmp && *tmp) ? tmp : "/var/tmp";
    std::filesystem::path d = base / ("qmcore-logfile-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

logger* file_logger() {
  static logger* log = [] {
    logger* l = krCore::singleton<logger>::instance();
    const std::wstring base = (bench_dir() / "ours").wstring();
    // 4000 MB: no rotation inside a measurement.
    l->initialize(0x1, logger::log_normal, 4000, 10, base.c_str());
    return l;
  }();
  return log;
}

void BM_Ours(benchmark::State& state) {
  logger* log = file_logger();
  for (auto _ : state) log->log(logger::log_normal, kMessage);
  state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<spdlog::logger> spd(bool flush_every_line) {
  static std::shared_ptr<spdlog::logger> buffered, flushed;
  static const bool once = [] {
    buffered = spdlog::basic_logger_mt("buffered", (bench_dir() / "spd-buffered.txt").string());
    flushed = spdlog::basic_logger_mt("flushed", (bench_dir() / "spd-flushed.txt").string());
    flushed->flush_on(spdlog::level::info);
    return true;
  }();
  (void)once;
  return flush_every_line ? flushed : buffered;
}

void BM_SpdlogBuffered(benchmark::State& state) {
  auto log = spd(false);
  for (auto _ : state) log->info(kNarrowMessage);
  state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogFlushed(benchmark::State& state) {
  auto log = spd(true);
  for (auto _ : state) log->info(kNarrowMessage);
  state.SetItemsProcessed(state.iterations());
}

// Our line's size: the prefix "YYYY/MM/DD HH:MM:SS:mmm PID: pppp TID: ttttt
// [INFO] " is 43 characters besides the ids (at least 4 and 5 digits), then
// the message and CR LF, 2 bytes each.
size_t our_line_bytes() {
  const size_t pid = std::max<size_t>(4, std::to_string(getpid()).size());
  const size_t tid = std::max<size_t>(5, std::to_string(gettid()).size());
  return (43 + pid + tid + std::wcslen(kMessage) + 2) * 2;
}

void BM_BareWrite(benchmark::State& state) {
  static const int fd = ::open((bench_dir() / "bare.txt").c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  const std::string line(our_line_bytes(), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
  state.SetItemsProcessed(state.iterations());
}

constexpr int kIterations = 100000;
constexpr int kRepetitions = 5;
#define LOGFILE_BENCH(fn)         \
  BENCHMARK(fn)                   \
      ->Threads(1)                \
      ->Threads(2)                \
      ->UseRealTime()             \
      ->Iterations(kIterations)   \
      ->Repetitions(kRepetitions) \
      ->ReportAggregatesOnly(true)
LOGFILE_BENCH(BM_BareWrite);
LOGFILE_BENCH(BM_Ours);
LOGFILE_BENCH(BM_SpdlogFlushed);
LOGFILE_BENCH(BM_SpdlogBuffered);

// Keeps the median of each benchmark's lines per second.
class median_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates[run.run_name.str()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  // The runs of the four writers are interleaved at random, so that the
  // load of other processes and the growing page cache fall on all alike.
  initialize_interleaved(argc, argv);
  median_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ns = [&](const std::string& name, const char* threads) {
    auto it = reporter.rates.find(name + "/iterations:" + std::to_string(kIterations) +
                                  "/repeats:" + std::to_string(kRepetitions) +
                                  "/real_time/threads:" + threads);
    return it == reporter.rates.end() || it->second <= 0 ? 0.0 : 1e9 / it->second;
  };
  std::printf("\nns per line (median of %d runs of %d lines per thread):\n", kRepetitions,
              kIterations);
  for (const char* threads : {"1", "2"}) {
    const double ours = ns("BM_Ours", threads);
    const double bare = ns("BM_BareWrite", threads);
    const double flushed = ns("BM_SpdlogFlushed", threads);
    const double buffered = ns("BM_SpdlogBuffered", threads);
    std::printf(
        "  %s thread(s): ours %.0f, bare write %.0f, spdlog flushed %.0f, spdlog buffered %.0f\n",
        threads, ours, bare, flushed, buffered);
    if (ours > 0)
      std::printf(
          "  %s thread(s): ours / bare write %.2fx, spdlog flushed / ours %.2fx, "
          "spdlog buffered / ours %.2fx\n",
          threads, ours / bare, flushed / ours, buffered / ours);
  }
  logger::close();
  spdlog::shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(bench_dir(), ignored);
  benchmark::Shutdown();
  return 0;
}
