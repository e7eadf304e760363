// Thread pools against boost::asio::thread_pool, in the same process run.
//
// Throughput: one thread posts 500,000 tiny tasks and the clock stops when
// the last has run, with 1 and 2 workers; each of our tasks is a shared
// work item with its own completion event, which the pool signals. The
// peers run in rounds (fixed, dynamic, Asio, for 1 and then 2 workers), 15
// rounds in all.
//
// This virtual machine changes speed several times a minute: in its slow
// phase its two processors pass a cache line between them some six times
// slower, which is what a pool's hand-over costs. So each run measures the
// round trip of a line between two threads before and after it, and a
// round counts for the phase all its probes agree on (a round that saw the
// phase change counts for none). Per phase the program prints each peer's
// median ns per task and the median, least and greatest of the rounds'
// ratios to Asio and of the dynamic pool to the fixed one.
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
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr long kTasks = 500000;
constexpr int kLatencySamples = 5000;
constexpr int kRounds = 15;

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

// The median round trip of a cache line between two threads, in ns.
double line_round_trip_ns() {
  constexpr int kBatches = 21;
  constexpr int kTrips = 100;
  alignas(64) std::atomic<int> line{0};
  std::thread echo([&line] {
    for (int i = 0; i < kBatches * kTrips; ++i) {
      while (line.load(std::memory_order_acquire) != 2 * i + 1) {
      }
      line.store(2 * i + 2, std::memory_order_release);
    }
  });
  std::vector<double> batches;
  for (int b = 0; b < kBatches; ++b) {
    const auto start = clock_type::now();
    for (int i = b * kTrips; i < (b + 1) * kTrips; ++i) {
      line.store(2 * i + 1, std::memory_order_release);
      while (line.load(std::memory_order_acquire) != 2 * i + 2) {
      }
    }
    batches.push_back(seconds_since(start) * 1e9 / kTrips);
  }
  echo.join();
  std::sort(batches.begin(), batches.end());
  return batches[batches.size() / 2];
}

// One throughput run: ns per task and the probes around it.
struct run_record {
  double ns_per_task = 0;
  double probe_before = 0;
  double probe_after = 0;
};
enum peer { kFixed, kDynamic, kAsio, kPeers };
// By worker count (1, 2), peer and round.
run_record g_runs[3][kPeers][kRounds];

// Runs `post_all` (which posts kTasks tasks that count down `b`) once,
// timed, between two probes.
template <class PostAll>
void timed_run(benchmark::State& state, batch& b, PostAll&& post_all, run_record& record) {
  record.probe_before = line_round_trip_ns();
  for (auto _ : state) {
    b.left.store(kTasks);
    const auto start = clock_type::now();
    post_all();
    ::WaitForSingleObject(b.done, INFINITE);
    const double s = seconds_since(start);
    state.SetIterationTime(s);
    record.ns_per_task = s * 1e9 / kTasks;
  }
  record.probe_after = line_round_trip_ns();
}

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
void throughput(benchmark::State& state, Pool& pool, run_record& record) {
  pool.start();
  batch b;
  timed_run(
      state, b,
      [&] {
        for (long i = 0; i < kTasks; ++i) pool.submitwork(std::make_shared<tiny_work>(&b));
      },
      record);
  pool.shutdown(10000);
}

void BM_threadpool_Post(benchmark::State& state, int round) {
  const int n = static_cast<int>(state.range(0));
  krCore::threadpool pool(n, krCore::threadpool::MAX_QUEUE_SIZE);
  throughput(state, pool, g_runs[n][kFixed][round]);
}

void BM_ThreadpoolDynamic_Post(benchmark::State& state, int round) {
  const int n = static_cast<int>(state.range(0));
  krCore::ThreadpoolDynamic pool(n, n, krCore::ThreadpoolDynamic::MAX_QUEUE_SIZE);
  throughput(state, pool, g_runs[n][kDynamic][round]);
}

void BM_asio_thread_pool_Post(benchmark::State& state, int round) {
  const int n = static_cast<int>(state.range(0));
  boost::asio::thread_pool pool(static_cast<std::size_t>(n));
  batch b;
  timed_run(
      state, b,
      [&] {
        for (long i = 0; i < kTasks; ++i) boost::asio::post(pool, [&b] { b.ran(); });
      },
      g_runs[n][kAsio][round]);
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

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// A probe's phase: fast below the first bound, slow above the second.
constexpr double kFastBelowNs = 150;
constexpr double kSlowAboveNs = 200;

// Prints, for one worker count and one phase, the rounds whose six probes
// all fall in that phase.
void print_phase(int workers, bool slow) {
  std::vector<double> ns[kPeers], fixed_asio, dynamic_asio, dynamic_fixed;
  for (int round = 0; round < kRounds; ++round) {
    bool in_phase = true;
    for (int p = 0; p < kPeers; ++p) {
      const run_record* r = &g_runs[workers][p][round];
      in_phase = in_phase && r->ns_per_task > 0;  // a filter may have left a peer out
      for (double probe : {r->probe_before, r->probe_after})
        in_phase = in_phase && (slow ? probe > kSlowAboveNs : probe < kFastBelowNs);
    }
    if (!in_phase) continue;
    const double f = g_runs[workers][kFixed][round].ns_per_task;
    const double d = g_runs[workers][kDynamic][round].ns_per_task;
    const double a = g_runs[workers][kAsio][round].ns_per_task;
    ns[kFixed].push_back(f);
    ns[kDynamic].push_back(d);
    ns[kAsio].push_back(a);
    fixed_asio.push_back(f / a);
    dynamic_asio.push_back(d / a);
    dynamic_fixed.push_back(d / f);
  }
  std::printf("  %d worker(s), %s phase, %zu of %d rounds", workers, slow ? "slow" : "fast",
              fixed_asio.size(), kRounds);
  if (fixed_asio.empty()) {
    std::printf("\n");
    return;
  }
  // "median (least-greatest)"
  auto spread = [](const std::vector<double>& v) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", percentile(v, 0.5),
                  *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
    return std::string(text);
  };
  std::printf(": threadpool %.0f ns/task, ThreadpoolDynamic %.0f, asio %.0f\n",
              percentile(ns[kFixed], 0.5), percentile(ns[kDynamic], 0.5),
              percentile(ns[kAsio], 0.5));
  std::printf("    ratios: threadpool/asio %s, ThreadpoolDynamic/asio %s,\n"
              "            ThreadpoolDynamic/threadpool %s\n",
              spread(fixed_asio).c_str(), spread(dynamic_asio).c_str(),
              spread(dynamic_fixed).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  using throughput_fn = void (*)(benchmark::State&, int);
  const std::pair<const char*, throughput_fn> pools[] = {
      {"BM_threadpool_Post", BM_threadpool_Post},
      {"BM_ThreadpoolDynamic_Post", BM_ThreadpoolDynamic_Post},
      {"BM_asio_thread_pool_Post", BM_asio_thread_pool_Post}};
  for (int round = 0; round < kRounds; ++round)
    for (int workers : {1, 2})
      for (const auto& [name, fn] : pools)
        benchmark::RegisterBenchmark(
            (std::string(name) + "/" + std::to_string(workers) + "/run" + std::to_string(round))
                .c_str(),
            fn, round)
            ->Arg(workers)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();

  std::printf("\nThroughput, %ld tasks from one thread, by phase (a line's round trip between\n"
              "two threads below %.0f ns: fast; above %.0f ns: slow):\n",
              kTasks, kFastBelowNs, kSlowAboveNs);
  for (int workers : {1, 2})
    for (bool slow : {false, true}) print_phase(workers, slow);
  std::printf("\nSubmit-to-completion latency of one task, 2 workers:\n");
  for (const auto& [name, samples] : g_latency)
    std::printf("  %-18s median %.1f us, p99 %.1f us (%zu samples)\n", name.c_str(),
                percentile(samples, 0.5), percentile(samples, 0.99), samples.size());
  benchmark::Shutdown();
  return 0;
}
