// Thread pools against boost::asio::thread_pool, in the same process run.
//
// Throughput: one thread posts 1,000,000 tiny tasks and the clock stops when
// the last has run, with 1 and 2 workers; each of our tasks is a shared
// work item with its own completion event, which the pool signals. Printed
// as the median of 7 runs in ns per task, with the ratio of each pool to
// Asio and of the dynamic pool to the fixed one.
//
// Latency: one task at a time, from the submission until the submitter's
// wait on the completion event returns; median and 99th percentile.
#include <benchmark/benchmark.h>
#include <krcore/threading.h>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr long kTasks = 1000000;
constexpr int kLatencySamples = 5000;
constexpr int kRuns = 7;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Counts down to the end of a batch; the task that runs last signals.
struct batch {
  std::atomic<long> left{0};
  krCore::autoresetevent done;
  void ran() {
    if (left.fetch_sub(1, std::memory_order_acq_rel) == 1) done.signal();
  }
};

class tiny_work : public krCore::threadwork {
 public:
  explicit tiny_work(batch* b) : _batch(b) {}
  void Execute() override {
    if (_batch) _batch->ran();
  }

 private:
  batch* _batch;
};

template <class Pool>
void throughput(benchmark::State& state, Pool& pool) {
  pool.start();
  batch b;
  for (auto _ : state) {
    b.left.store(kTasks);
    const auto start = clock_type::now();
    for (long i = 0; i < kTasks; ++i) pool.submitwork(std::make_shared<tiny_work>(&b));
    ::WaitForSingleObject(b.done, INFINITE);
    state.SetIterationTime(seconds_since(start));
  }
  pool.shutdown(10000);
}

void BM_threadpool_Post(benchmark::State& state) {
  krCore::threadpool pool(static_cast<int>(state.range(0)), krCore::threadpool::MAX_QUEUE_SIZE);
  throughput(state, pool);
}

void BM_ThreadpoolDynamic_Post(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  krCore::ThreadpoolDynamic pool(n, n, krCore::ThreadpoolDynamic::MAX_QUEUE_SIZE);
  throughput(state, pool);
}

void BM_asio_thread_pool_Post(benchmark::State& state) {
  boost::asio::thread_pool pool(static_cast<std::size_t>(state.range(0)));
  batch b;
  for (auto _ : state) {
    b.left.store(kTasks);
    const auto start = clock_type::now();
    for (long i = 0; i < kTasks; ++i) boost::asio::post(pool, [&b] { b.ran(); });
    ::WaitForSingleObject(b.done, INFINITE);
    state.SetIterationTime(seconds_since(start));
  }
  pool.join();
}

// Latency samples in microseconds, per benchmark.
std::map<std::string, std::vector<double>> g_latency;

template <class Pool>
void latency(benchmark::State& state, Pool& pool, const char* name) {
  pool.start();
  std::vector<double>& samples = g_latency[name];
  for (auto _ : state) {
    auto work = std::make_shared<tiny_work>(nullptr);
    void* completed = work->GetCompleteHandle();
    const auto start = clock_type::now();
    pool.submitwork(work);
    ::WaitForSingleObject(completed, INFINITE);
    const double s = seconds_since(start);
    state.SetIterationTime(s);
    samples.push_back(s * 1e6);
  }
  pool.shutdown(10000);
}

void BM_threadpool_Latency(benchmark::State& state) {
  krCore::threadpool pool(2, krCore::threadpool::MAX_QUEUE_SIZE);
  latency(state, pool, "threadpool");
}

void BM_ThreadpoolDynamic_Latency(benchmark::State& state) {
  krCore::ThreadpoolDynamic pool(2, 2, krCore::ThreadpoolDynamic::MAX_QUEUE_SIZE);
  latency(state, pool, "ThreadpoolDynamic");
}

void BM_asio_thread_pool_Latency(benchmark::State& state) {
  boost::asio::thread_pool pool(2);
  krCore::manualresetevent completed;
  std::vector<double>& samples = g_latency["asio::thread_pool"];
  for (auto _ : state) {
    completed.reset();
    const auto start = clock_type::now();
    boost::asio::post(pool, [&completed] { completed.signal(); });
    ::WaitForSingleObject(completed, INFINITE);
    const double s = seconds_since(start);
    state.SetIterationTime(s);
    samples.push_back(s * 1e6);
  }
  pool.join();
}

BENCHMARK(BM_threadpool_Latency)->Iterations(kLatencySamples)->UseManualTime();
BENCHMARK(BM_ThreadpoolDynamic_Latency)->Iterations(kLatencySamples)->UseManualTime();
BENCHMARK(BM_asio_thread_pool_Latency)->Iterations(kLatencySamples)->UseManualTime();

// Keeps the wall time of every throughput run, by pool and worker count
// ("BM_threadpool_Post/1"), dropping the run number.
class RunsReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.run_name.function_name;
      const auto cut = name.rfind("/run");
      if (cut != std::string::npos) times[name.substr(0, cut)].push_back(run.GetAdjustedRealTime());
    }
  }
  std::map<std::string, std::vector<double>> times;  // in the benchmark's unit (ms)
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  using throughput_fn = void (*)(benchmark::State&);
  const std::pair<const char*, throughput_fn> pools[] = {
      {"BM_threadpool_Post", BM_threadpool_Post},
      {"BM_ThreadpoolDynamic_Post", BM_ThreadpoolDynamic_Post},
      {"BM_asio_thread_pool_Post", BM_asio_thread_pool_Post}};
  for (int run = 0; run < kRuns; ++run)
    for (int workers : {1, 2})
      for (const auto& [name, fn] : pools)
        benchmark::RegisterBenchmark(
            (std::string(name) + "/" + std::to_string(workers) + "/run" + std::to_string(run))
                .c_str(),
            fn)
            ->Arg(workers)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
  RunsReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto ns_per_task = [&](const std::string& name) {
    auto it = reporter.times.find(name);
    return it == reporter.times.end() ? 0.0 : percentile(it->second, 0.5) * 1e6 / kTasks;
  };
  std::printf("\nThroughput, %ld tasks from one thread, median of %d runs:\n", kTasks, kRuns);
  for (const char* workers : {"1", "2"}) {
    const std::string suffix = std::string("/") + workers;
    const double fixed = ns_per_task("BM_threadpool_Post" + suffix);
    const double dynamic = ns_per_task("BM_ThreadpoolDynamic_Post" + suffix);
    const double asio = ns_per_task("BM_asio_thread_pool_Post" + suffix);
    if (fixed == 0 || dynamic == 0 || asio == 0) continue;
    std::printf("  %s worker(s): threadpool %.0f ns/task, ThreadpoolDynamic %.0f, asio %.0f\n",
                workers, fixed, dynamic, asio);
    std::printf(
        "    ratios: threadpool/asio %.2f, ThreadpoolDynamic/asio %.2f, "
        "ThreadpoolDynamic/threadpool %.2f\n",
        fixed / asio, dynamic / asio, dynamic / fixed);
  }
  std::printf("\nSubmit-to-completion latency of one task, 2 workers:\n");
  for (const auto& [name, samples] : g_latency)
    std::printf("  %-18s median %.1f us, p99 %.1f us (%zu samples)\n", name.c_str(),
                percentile(samples, 0.5), percentile(samples, 0.99), samples.size());
  benchmark::Shutdown();
  return 0;
}
