// Listing every process with its name: the library (EnumerateProcesses and
// GetProcessName, and the Win32_Process query) against procps' libproc2
// (procps_pids_reap of the pid and the command), over the same /proc in the
// same run. Then the time from the polite request to a cooperative child's
// exit (terminate_child_process), measured over a child of this program.
#include <benchmark/benchmark.h>
#include <krcore/processes.h>
#include <libproc2/pids.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "paired_rounds.h"
#include "recording_reporter.h"

namespace {

void BM_qmcore_enumerate_and_name(benchmark::State& state) {
  std::vector<unsigned long> pids;
  std::wstring name;
  std::size_t named = 0;
  for (auto _ : state) {
    pids.clear();
    krCore::EnumerateProcesses(pids);
    named = 0;
    for (unsigned long pid : pids)
      if (krCore::GetProcessName(pid, name, false, false) == 0) ++named;
    benchmark::DoNotOptimize(named);
  }
  state.counters["processes"] = static_cast<double>(named);
}
BENCHMARK(BM_qmcore_enumerate_and_name)->UseRealTime();

void BM_qmcore_process_query(benchmark::State& state) {
  std::map<int, std::wstring> all;
  for (auto _ : state) {
    all.clear();
    krCore::enumerateprocessesbynamex64withpid(all);
    benchmark::DoNotOptimize(all);
  }
  state.counters["processes"] = static_cast<double>(all.size());
}
BENCHMARK(BM_qmcore_process_query)->UseRealTime();

void BM_procps_reap_pid_cmd(benchmark::State& state) {
  enum pids_item items[] = {PIDS_ID_PID, PIDS_CMD};
  struct pids_info* info = nullptr;
  if (procps_pids_new(&info, items, 2) < 0) {
    state.SkipWithError("procps_pids_new failed");
    return;
  }
  int total = 0;
  for (auto _ : state) {
    struct pids_fetch* fetched = procps_pids_reap(info, PIDS_FETCH_TASKS_ONLY);
    total = fetched ? fetched->counts->total : 0;
    for (int i = 0; i < total; ++i)
      benchmark::DoNotOptimize(PIDS_VAL(1, str, fetched->stacks[i], info));
  }
  state.counters["processes"] = total;
  procps_pids_unref(&info);
}
BENCHMARK(BM_procps_reap_pid_cmd)->UseRealTime();

std::string g_self;

// A child of this program that reports ready on a pipe and exits with code
// 3 on SIGTERM.
bool start_cooperative_child(PROCESS_INFORMATION& pi) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  std::wstring line = L"\"" + std::wstring(g_self.begin(), g_self.end()) + L"\" --cooperative-child " +
                      std::to_wstring(fds[1]);
  const bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, 0, 0, nullptr, nullptr,
                                      nullptr, &pi) != 0;
  ::close(fds[1]);
  char byte = 0;
  const bool ready = started && ::read(fds[0], &byte, 1) == 1;
  ::close(fds[0]);
  return ready;
}

void polite_request_figures() {
  std::vector<double> ms;
  for (int i = 0; i < 20; ++i) {
    PROCESS_INFORMATION pi{};
    if (!start_cooperative_child(pi)) break;
    const auto t0 = std::chrono::steady_clock::now();
    const bool ended = krCore::terminate_child_process(pi, 10000);
    const auto t1 = std::chrono::steady_clock::now();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (!ended || code != 3) {
      std::printf("polite request: child did not end by itself (code %u)\n", code);
      return;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  std::printf("polite request to a cooperative child's exit over %zu children: median %.3f ms, "
              "max %.3f ms\n",
              ms.size(), ms[ms.size() / 2], ms.back());
}

// The listing with names against libproc2's, in alternated rounds (see
// paired_rounds.h).
void alternated_rounds() {
  enum pids_item items[] = {PIDS_ID_PID, PIDS_CMD};
  struct pids_info* info = nullptr;
  if (procps_pids_new(&info, items, 2) < 0) return;
  std::vector<unsigned long> pids;
  std::wstring name;
  const paired_figures f = run_paired(
      201,
      [&] {
        pids.clear();
        krCore::EnumerateProcesses(pids);
        for (unsigned long pid : pids) krCore::GetProcessName(pid, name, false, false);
      },
      [&] {
        struct pids_fetch* fetched = procps_pids_reap(info, PIDS_FETCH_TASKS_ONLY);
        const int total = fetched ? fetched->counts->total : 0;
        for (int i = 0; i < total; ++i)
          benchmark::DoNotOptimize(PIDS_VAL(1, str, fetched->stacks[i], info));
      });
  procps_pids_unref(&info);
  std::printf("alternated rounds over %zu processes:\n", pids.size());
  print_paired("EnumerateProcesses + GetProcessName", "procps_pids_reap", f);
}

void on_term(int) { ::_exit(3); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--cooperative-child") == 0) {
    ::signal(SIGTERM, on_term);
    const char byte = 'r';
    if (::write(std::atoi(argv[2]), &byte, 1) != 1) return 100;
    for (;;) ::pause();
  }
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  g_self.assign(self, n > 0 ? static_cast<std::size_t>(n) : 0);

  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter(RecordingReporter::wall_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Recorded names carry the "/real_time" suffix; match by prefix.
  auto time_of = [&reporter](const std::string& name) {
    for (const auto& [key, value] : reporter.times)
      if (key.rfind(name, 0) == 0) return value;
    return 0.0;
  };
  const double peer = time_of("BM_procps_reap_pid_cmd");
  if (peer > 0)
    for (const char* ours : {"BM_qmcore_enumerate_and_name", "BM_qmcore_process_query"})
      std::printf("%s / procps: %.2f\n", ours, time_of(ours) / peer);
  alternated_rounds();
  polite_request_figures();
  benchmark::Shutdown();
  return 0;
}
