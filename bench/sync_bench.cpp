// Costs of the library's waitable objects and locks against their standard
// library peers: event signal-to-wake latency (a ping-pong round trip between
// two threads) against std::mutex + std::condition_variable, an uncontended
// critical_section lock/unlock against std::recursive_mutex, and the cost of
// signalling an event that nobody waits for, and the same for named objects;
// making and closing a named event against a POSIX shared-memory object of
// the same size. Prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <krcore/foundation.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

void BM_EventPingPong(benchmark::State& state) {
  krCore::autoresetevent ping, pong;
  bool stop = false;
  std::thread partner([&] {
    for (;;) {
      WaitForSingleObject(ping, INFINITE);
      if (stop) return;
      pong.signal();
    }
  });
  for (auto _ : state) {
    ping.signal();
    WaitForSingleObject(pong, INFINITE);
  }
  stop = true;
  ping.signal();
  partner.join();
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

void BM_CondVarPingPong(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;  // 1: partner's turn, 2: ours, -1: stop
  std::thread partner([&] {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      cv.wait(lock, [&] { return turn == 1 || turn == -1; });
      if (turn == -1) return;
      turn = 2;
      cv.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(m);
    turn = 1;
    cv.notify_all();
    cv.wait(lock, [&] { return turn == 2; });
  }
  {
    std::lock_guard<std::mutex> lock(m);
    turn = -1;
  }
  cv.notify_all();
  partner.join();
}
BENCHMARK(BM_CondVarPingPong)->UseRealTime();

void BM_CriticalSection(benchmark::State& state) {
  krCore::critical_section cs;
  for (auto _ : state) {
    cs.lock();
    cs.unlock();
  }
}
BENCHMARK(BM_CriticalSection);

void BM_RecursiveMutex(benchmark::State& state) {
  std::recursive_mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
}
BENCHMARK(BM_RecursiveMutex);

void BM_EventSignalNoWaiter(benchmark::State& state) {
  krCore::manualresetevent e;
  for (auto _ : state) {
    e.signal();
    e.reset();
  }
}
BENCHMARK(BM_EventSignalNoWaiter);

void BM_CondVarNotifyNoWaiter(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  bool flag = false;
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(m);
      flag = !flag;
    }
    cv.notify_all();
  }
  benchmark::DoNotOptimize(flag);
}
BENCHMARK(BM_CondVarNotifyNoWaiter);

void BM_SignalAndWaitAnyOf3(benchmark::State& state) {
  krCore::autoresetevent a, b;
  krCore::semaphore s(100, 0, L"");
  HANDLE set[] = {a, b, s};
  for (auto _ : state) {
    b.signal();
    benchmark::DoNotOptimize(WaitForMultipleObjects(3, set, 0, 0));
  }
}
BENCHMARK(BM_SignalAndWaitAnyOf3);

// Named objects, shared with other processes: taking and releasing an
// uncontended mutex, and signalling an event nobody waits for.
std::wstring bench_name(const char* tag) {
  return L"krbench-" + std::to_wstring(::getpid()) + L"-" + std::wstring(tag, tag + std::strlen(tag));
}

void BM_NamedMutexTakeRelease(benchmark::State& state) {
  krCore::mutex m(false, bench_name("mutex"));
  for (auto _ : state) {
    WaitForSingleObject(m, 0);
    m.release();
  }
}
BENCHMARK(BM_NamedMutexTakeRelease);

void BM_NamedEventSignalNoWaiter(benchmark::State& state) {
  krCore::manualresetevent e(false, bench_name("event"));
  for (auto _ : state) {
    e.signal();
    e.reset();
  }
}
BENCHMARK(BM_NamedEventSignalNoWaiter);

// A name nobody else holds: made, mapped and removed again each time.
void BM_NamedEventMakeClose(benchmark::State& state) {
  const std::wstring name = bench_name("made");
  for (auto _ : state) {
    krCore::manualresetevent e(false, name);
    benchmark::DoNotOptimize(e);
  }
}
BENCHMARK(BM_NamedEventMakeClose);

void BM_ShmObjectMakeClose(benchmark::State& state) {
  const std::string name = "/krbench-" + std::to_string(::getpid()) + "-shm";
  for (auto _ : state) {
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    void* p = MAP_FAILED;
    if (fd >= 0 && ::ftruncate(fd, 4096) == 0)
      p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) ::munmap(p, 4096);
    if (fd >= 0) ::close(fd);
    ::shm_unlink(name.c_str());
  }
}
BENCHMARK(BM_ShmObjectMakeClose);

// Keeps each benchmark's time per iteration for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

void ratio(ratio_reporter& r, const char* ours, const char* peer) {
  auto a = r.times.find(ours), b = r.times.find(peer);
  if (a == r.times.end() || b == r.times.end()) return;
  std::printf("%-28s / %-28s = %.2f\n", ours, peer, a->second / b->second);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nRatios (time per operation, ours / peer; below 1 is faster):\n");
  ratio(reporter, "BM_EventPingPong/real_time", "BM_CondVarPingPong/real_time");
  ratio(reporter, "BM_CriticalSection", "BM_RecursiveMutex");
  ratio(reporter, "BM_EventSignalNoWaiter", "BM_CondVarNotifyNoWaiter");
  ratio(reporter, "BM_NamedMutexTakeRelease", "BM_RecursiveMutex");
  ratio(reporter, "BM_NamedEventSignalNoWaiter", "BM_EventSignalNoWaiter");
  ratio(reporter, "BM_NamedEventMakeClose", "BM_ShmObjectMakeClose");
  benchmark::Shutdown();
  return 0;
}
