// Logger throughput: lines per second through the callback sink (the whole
// write step: level test, lock, prefix, filters, callback) for 1 and 2
// threads, and the cost of an entry dropped at the level test.
//
// Peer: the straightforward write step a logger without caches would run —
// localtime_r and a swprintf of the prefix per line, a fresh std::wstring
// per line, under a std::mutex. The ratios show what the caches buy.
#include <benchmark/benchmark.h>
#include <krcore/logging.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace {

using krCore::logger;

const wchar_t kMessage[] = L"CommandScheduler::Run - work item [42] submitted to the pool";
std::atomic<long> g_sunk{0};

logger* started_logger() {
  logger* log = krCore::singleton<logger>::instance();
  static const bool once = [log] {
    log->set_write_message_func(
        [](const wchar_t*, logger::log_levels) { g_sunk.fetch_add(1, std::memory_order_relaxed); });
    log->initialize(0, logger::log_normal, 0, 0, L"/tmp/qmcore-logger-bench");
    return true;
  }();
  (void)once;
  return log;
}

void BM_Logger_CallbackSink(benchmark::State& state) {
  logger* log = started_logger();
  for (auto _ : state) log->log(logger::log_normal, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Logger_CallbackSink)->Threads(1)->Threads(2)->UseRealTime();

// The peer write step.
struct naive_logger {
  std::mutex mutex;
  std::function<void(const wchar_t*, int)> sink;
  void log(int level, const wchar_t* message) {
    std::lock_guard<std::mutex> lock(mutex);
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    localtime_r(&ts.tv_sec, &t);
    wchar_t prefix[260];
    std::swprintf(prefix, 260, L"%02u/%02u/%02u %02u:%02u:%02u:%03u PID: %4ld TID: %5ld ",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  unsigned(ts.tv_nsec / 1000000), long(getpid()), long(syscall(SYS_gettid)));
    std::wstring line = std::wstring(prefix) + L"[INFO] " + message + L"\r\n";
    benchmark::DoNotOptimize(line.data());
    sink(message, level);
  }
};

void BM_Naive_CallbackSink(benchmark::State& state) {
  static naive_logger naive{
      {}, [](const wchar_t*, int) { g_sunk.fetch_add(1, std::memory_order_relaxed); }};
  for (auto _ : state) naive.log(2, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Naive_CallbackSink)->Threads(1)->Threads(2)->UseRealTime();

void BM_Logger_DroppedEntry(benchmark::State& state) {
  logger* log = started_logger();
  for (auto _ : state) log->log(logger::log_verbose, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Logger_DroppedEntry)->Threads(1)->Threads(2)->UseRealTime();

// Prints the usual table, then lines per second and the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto rate = [&](const std::string& name) {
    auto it = reporter.rates.find(name);
    return it == reporter.rates.end() ? 0.0 : it->second;
  };
  std::printf("\nlines per second through the callback sink:\n");
  for (const char* threads : {"1", "2"}) {
    const double ours = rate(std::string("BM_Logger_CallbackSink/real_time/threads:") + threads);
    const double peer = rate(std::string("BM_Naive_CallbackSink/real_time/threads:") + threads);
    const double dropped = rate(std::string("BM_Logger_DroppedEntry/real_time/threads:") + threads);
    std::printf("  %s thread(s): logger %.0f lines/s, naive peer %.0f lines/s, ratio %.2fx\n",
                threads, ours, peer, peer > 0 ? ours / peer : 0.0);
    if (dropped > 0)
      std::printf("  %s thread(s): dropped entry %.2f ns (%.0fx cheaper than a written line)\n",
                  threads, 1e9 / dropped, ours > 0 ? dropped / ours : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
