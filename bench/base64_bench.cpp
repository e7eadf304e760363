// Base64 encoding and decoding of 1 MiB: the library's Boost-iterator
// implementation against a plain table-driven peer (Boost.Beast's internal
// codec), in MB/s, followed by the ratios library / peer.
#include <benchmark/benchmark.h>
#include <krcore/sysutil.h>

#include <boost/beast/core/detail/base64.hpp>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace b64 = boost::beast::detail::base64;

constexpr std::size_t kSize = 1 << 20;

const std::vector<unsigned char>& input() {
  static const std::vector<unsigned char> data = [] {
    std::mt19937 rng(42);
    std::vector<unsigned char> v(kSize);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
  }();
  return data;
}

const std::string& encoded() {
  static const std::string text = krCore::ToBase64Str(input(), false);
  return text;
}

void Encode_krCore(benchmark::State& state) {
  const bool lineBreaks = state.range(0) != 0;
  for (auto _ : state) benchmark::DoNotOptimize(krCore::ToBase64Str(input(), lineBreaks));
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Encode_krCore)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void Encode_Beast(benchmark::State& state) {
  for (auto _ : state) {
    std::string out(b64::encoded_size(kSize), '\0');
    out.resize(b64::encode(out.data(), input().data(), kSize));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Encode_Beast)->Unit(benchmark::kMillisecond);

void Decode_krCore(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(krCore::FromBase64(encoded()));
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Decode_krCore)->Unit(benchmark::kMillisecond);

void Decode_Beast(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<unsigned char> out(b64::decoded_size(encoded().size()));
    out.resize(b64::decode(out.data(), encoded().data(), encoded().size()).first);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Decode_Beast)->Unit(benchmark::kMillisecond);

// The console report, remembering each run's throughput for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (!run.error_occurred && it != run.counters.end())
        mbps[run.benchmark_name()] = it->second.value / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> mbps;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto& m = reporter.mbps;
  const auto ratio = [&](const char* label, const std::string& mine, const std::string& peer) {
    if (m.count(mine) && m.count(peer) && m[peer] > 0)
      std::printf("%-36s %8.1f MB/s  %8.1f MB/s  ratio %.2f\n", label, m[mine], m[peer],
                  m[mine] / m[peer]);
  };
  std::printf("\n%-36s %13s  %13s\n", "1 MiB, krCore vs. Beast", "krCore", "Beast");
  ratio("encode", "Encode_krCore/0", "Encode_Beast");
  ratio("encode with line breaks", "Encode_krCore/1", "Encode_Beast");
  ratio("decode", "Decode_krCore", "Decode_Beast");
  return 0;
}
