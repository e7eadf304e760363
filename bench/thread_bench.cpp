// Thread start-to-running latency: from the call that starts a thread until
// the thread's first code has run and woken the starter, for the worker
// thread, the library's gated start beneath it and std::thread as the
// peer; and the latency of ending a thread stuck in a CPU loop by force.
//
// Each measures wall time by hand (the thread's stop or join is outside the
// timed part). After the table, the ratio of each to std::thread.
#include <benchmark/benchmark.h>
#include <krcore/threading.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "threading/native_thread.h"
#include "recording_reporter.h"
#include "foundation/waitable.h"

// The loop a thread ended by force spins in (spin_module.cpp).
extern "C" void bench_spin_while(const std::atomic<bool>* flag);

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

class signalling_thread : public krCore::EasyThreadImpl {
 public:
  krCore::autoresetevent running;
  std::atomic<bool> spin{false};
  ~signalling_thread() override { StopAndTerminate(10000); }

 protected:
  void OnStart() override {
    running.signal();
    bench_spin_while(&spin);
  }
};

void BM_EasyThreadImpl_StartToRunning(benchmark::State& state) {
  signalling_thread t;
  for (auto _ : state) {
    const auto start = clock_type::now();
    t.StartThread();
    ::WaitForSingleObject(t.running, INFINITE);
    state.SetIterationTime(seconds_since(start));
    t.StopThread(INFINITE);
  }
}

unsigned signal_body(void* event) {
  krCore::detail::set_event(event);
  return 0;
}

void BM_GatedThread_StartToRunning(benchmark::State& state) {
  krCore::autoresetevent running;
  for (auto _ : state) {
    const auto start = clock_type::now();
    DWORD id = 0;
    HANDLE h = krCore::detail::create_thread_gated(&signal_body, static_cast<void*>(running), &id);
    krCore::detail::resume_thread(h);
    ::WaitForSingleObject(running, INFINITE);
    state.SetIterationTime(seconds_since(start));
    ::WaitForSingleObject(h, INFINITE);
    krCore::detail::close_handle(h);
  }
}

void BM_std_thread_StartToRunning(benchmark::State& state) {
  krCore::autoresetevent running;
  for (auto _ : state) {
    const auto start = clock_type::now();
    std::thread t([&running] { running.signal(); });
    ::WaitForSingleObject(running, INFINITE);
    state.SetIterationTime(seconds_since(start));
    t.join();
  }
}

// From the forced-end request until the thread's handle is signalled.
void BM_ForcedEnd_CpuLoop(benchmark::State& state) {
  signalling_thread t;
  t.spin = true;
  for (auto _ : state) {
    t.StartThread();
    ::WaitForSingleObject(t.running, INFINITE);
    const auto start = clock_type::now();
    const unsigned long error = krCore::detail::terminate_thread(t.GetHandle());
    state.SetIterationTime(seconds_since(start));
    if (error != 0) state.SkipWithError("the thread was not ended");
  }
  t.spin = false;
}

BENCHMARK(BM_std_thread_StartToRunning)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GatedThread_StartToRunning)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EasyThreadImpl_StartToRunning)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ForcedEnd_CpuLoop)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter(RecordingReporter::wall_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const char* const peer = "BM_std_thread_StartToRunning/manual_time";
  const auto p = reporter.times.find(peer);
  if (p == reporter.times.end()) return 0;
  std::printf("\nRatio to std::thread start-to-running (%.1f us, wall time):\n", p->second);
  for (const auto& [name, time] : reporter.times)
    if (name != peer)
      std::printf("  %-46s %8.1f us = %5.2fx\n", name.c_str(), time, time / p->second);
  return 0;
}
