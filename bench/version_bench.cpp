// Reading version resources: the version block and "FileVersion" of every
// PE file in a folder (Wine's DLLs by default, or the folder given as the
// first argument), warm cache, in µs per file, beside the floor of
// open+fstat+close per file and the ratio to it, and the time of a wrestool
// process per file over the same files for comparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <krcore/foundation.h>
#include <krcore/versions.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_files;
std::vector<std::wstring> g_wide;

// What an inventory does per file: open it and read one named string.
std::size_t read_all() {
  std::size_t found = 0;
  for (const auto& path : g_wide) {
    krCore::fileversion fv;
    std::wstring value;
    try {
      if (fv.open(path) && fv.gettranscount() && fv.querystringvalue(L"FileVersion", value))
        ++found;
    } catch (const std::exception&) {
      // a damaged file counts as one without a version
    }
  }
  return found;
}

void ReadVersion(benchmark::State& state) {
  std::size_t found = 0;
  for (auto _ : state) benchmark::DoNotOptimize(found = read_all());
  state.counters["us_per_file"] = benchmark::Counter(
      static_cast<double>(state.iterations() * g_files.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
  state.counters["with_FileVersion"] = static_cast<double>(found);
}

void OpenFstatClose(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& path : g_files) {
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      fstat(fd, &st);
      close(fd);
      benchmark::DoNotOptimize(st.st_size);
    }
  }
  state.counters["us_per_file"] = benchmark::Counter(
      static_cast<double>(state.iterations() * g_files.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}

// Per-file time of `fn` over all files, in µs, the best of `rounds`.
template <class F>
double best_us_per_file(F&& fn, int rounds) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / static_cast<double>(g_files.size()));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string dir = argc > 1 ? argv[1] : "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const auto ext = entry.path().extension();
    if (entry.is_regular_file() && (ext == ".dll" || ext == ".exe")) {
      g_files.push_back(entry.path().string());
      g_wide.push_back(krCore::convertstringtowstring(entry.path().string()));
    }
  }
  if (g_files.empty()) {
    std::printf("no PE files in %s (install libwine or name a folder)\n", dir.c_str());
    return 0;
  }
  std::printf("%zu PE files in %s\n", g_files.size(), dir.c_str());
  benchmark::RegisterBenchmark("ReadVersion", ReadVersion)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("OpenFstatClose", OpenFstatClose)->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();

  // The summary, measured again here so the ratio compares like with like.
  const double reader = best_us_per_file(read_all, 5);
  const double floor = best_us_per_file(
      [] {
        for (const auto& path : g_files) {
          const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
          struct stat st {};
          fstat(fd, &st);
          close(fd);
        }
      },
      5);
  std::printf(
      "fileversion open + FileVersion: %.2f us/file; open+fstat+close floor: %.2f us/file;"
      " ratio %.2f\n",
      reader, floor, reader / floor);
  const std::size_t sample = std::min<std::size_t>(g_files.size(), 100);
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < sample; ++i) {
    const std::string command = "wrestool --raw -x -t16 '" + g_files[i] + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
    }
  }
  const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
  std::printf("wrestool process per file (first %zu files): %.0f us/file\n", sample,
              took.count() / static_cast<double>(sample));
  return 0;
}
