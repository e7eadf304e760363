// Verifying a signed PE file of several megabytes: the library's trust
// check against its floor (OpenSSL's SHA-256 of the same bytes, already in
// memory, and the same hash over the file mapped as the verifier maps it)
// and against osslsigncode verifying the same file. The three are
// run interleaved; the medians, the fastest runs and the ratios are printed.
//   signature_bench [FILE ROOTS_FOLDER]
// By default the file and root made for the signature tests.
#include <fcntl.h>
#include <krcore/signatures.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "paired_rounds.h"

namespace {

double seconds_of(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The median and the fastest run: on a shared machine the fastest is the
// one least disturbed by others.
struct figures {
  double median, fastest;
};
figures figures_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string fixtures = SIGNATURE_BENCH_FIXTURES;
  const std::string file = argc > 2 ? argv[1] : fixtures + "/big.exe";
  const std::string roots = argc > 2 ? argv[2] : fixtures + "/roots";
  ::setenv("KRCORE_CODESIGN_ROOTS", roots.c_str(), 1);
  std::ifstream in(file, std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
  if (bytes.empty()) {
    std::fprintf(stderr, "signature_bench: cannot read %s\n", file.c_str());
    return 1;
  }
  const std::wstring wfile(file.begin(), file.end());
  if (krCore::winverifytrustonfile(wfile) != 0) {
    std::fprintf(stderr, "signature_bench: %s is not trusted with the roots in %s\n", file.c_str(),
                 roots.c_str());
    return 1;
  }
  const std::string oracle =
      "osslsigncode verify -CAfile '" + roots + "/root.pem' -in '" + file + "' >/dev/null 2>&1";

  // SHA-256 over the file mapped afresh: the floor for a verifier that has
  // to read the file.
  const auto mapped_hash = [&] {
    const int fd = ::open(file.c_str(), O_RDONLY);
    void* p = ::mmap(nullptr, bytes.size(), PROT_READ, MAP_PRIVATE, fd, 0);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(p, bytes.size(), hash, &n, EVP_sha256(), nullptr);
    ::munmap(p, bytes.size());
    ::close(fd);
  };

  std::vector<double> verify, floor, mapped, peer;
  for (int round = 0; round < 40; ++round) {
    verify.push_back(seconds_of([&] { krCore::winverifytrustonfile(wfile); }));
    floor.push_back(seconds_of([&] {
      unsigned char hash[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      EVP_Digest(bytes.data(), bytes.size(), hash, &n, EVP_sha256(), nullptr);
    }));
    mapped.push_back(seconds_of(mapped_hash));
    if (round % 4 == 0) peer.push_back(seconds_of([&] { (void)std::system(oracle.c_str()); }));
  }
  const figures v = figures_of(verify), f = figures_of(floor), m = figures_of(mapped),
                p = figures_of(peer);
  std::printf("file: %s (%.1f MB); median and fastest of the interleaved runs\n", file.c_str(),
              bytes.size() / 1e6);
  std::printf("winverifytrustonfile    %8.2f ms %8.2f ms\n", v.median * 1e3, v.fastest * 1e3);
  std::printf("OpenSSL SHA-256 floor   %8.2f ms %8.2f ms   verify / floor = %.2f (fastest %.2f)\n",
              f.median * 1e3, f.fastest * 1e3, v.median / f.median, v.fastest / f.fastest);
  std::printf(
      "mapped file SHA-256      %8.2f ms %8.2f ms   verify / mapped = %.2f (fastest %.2f)\n",
      m.median * 1e3, m.fastest * 1e3, v.median / m.median, v.fastest / m.fastest);
  std::printf("osslsigncode verify     %8.2f ms %8.2f ms   verify / osslsigncode = %.2f\n",
              p.median * 1e3, p.fastest * 1e3, v.median / p.median);
  // The goal's own figure: each check paired with a floor run beside it.
  const paired_figures paired = run_paired(
      101, [&] { krCore::winverifytrustonfile(wfile); },
      [&] {
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_Digest(bytes.data(), bytes.size(), hash, &n, EVP_sha256(), nullptr);
      });
  print_paired("winverifytrustonfile", "SHA-256 floor", paired);
  return 0;
}
