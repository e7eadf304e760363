// The protect + unprotect round trip of a 32-character password through
// securestring, against a bare OpenSSL AES-256-GCM encrypt + decrypt of the
// same 64 UTF-16 bytes with a fixed key, in the same run (interleaved);
// then the ratio of the two. The key file is a temporary one.
#include <benchmark/benchmark.h>
#include <krcore/protection.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "interleaved.h"
#include "protection/machine_key.h"
#include "recording_reporter.h"

namespace {

const wchar_t kPassword[] = L"correct-horse-battery-staple-#42";  // 32 characters

void BM_securestring_protect_unprotect(benchmark::State& state) {
  for (auto _ : state) {
    krCore::securestring s(kPassword);
    benchmark::DoNotOptimize(s.c_str());
  }
}
BENCHMARK(BM_securestring_protect_unprotect);

// What a caller of OpenSSL writes for one GCM round trip: a context per
// operation, a 12-byte nonce and a 16-byte tag. `cipher` null takes the
// cipher the usual way (EVP_aes_256_gcm, looked up at each init); otherwise
// the cipher fetched once, as the library does, which is the tighter peer.
void gcm_round_trips(benchmark::State& state, const EVP_CIPHER* fetched) {
  const EVP_CIPHER* gcm = fetched ? fetched : EVP_aes_256_gcm();
  unsigned char key[32] = {1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char nonce[12] = {9, 8, 7};
  unsigned char plain[64];
  for (int i = 0; i < 32; ++i) {
    plain[2 * i] = static_cast<unsigned char>(kPassword[i]);
    plain[2 * i + 1] = 0;
  }
  unsigned char cipher[64], tag[16], back[64];
  for (auto _ : state) {
    int len = 0;
    EVP_CIPHER_CTX* e = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(e, gcm, nullptr, key, nonce);
    EVP_EncryptUpdate(e, cipher, &len, plain, sizeof plain);
    EVP_EncryptFinal_ex(e, cipher + len, &len);
    EVP_CIPHER_CTX_ctrl(e, EVP_CTRL_GCM_GET_TAG, 16, tag);
    EVP_CIPHER_CTX_free(e);
    EVP_CIPHER_CTX* d = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(d, gcm, nullptr, key, nonce);
    EVP_DecryptUpdate(d, back, &len, cipher, sizeof cipher);
    EVP_CIPHER_CTX_ctrl(d, EVP_CTRL_GCM_SET_TAG, 16, tag);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(d, back + len, &len));
    EVP_CIPHER_CTX_free(d);
    benchmark::DoNotOptimize(back);
  }
}

void BM_openssl_gcm_encrypt_decrypt(benchmark::State& state) { gcm_round_trips(state, nullptr); }
BENCHMARK(BM_openssl_gcm_encrypt_decrypt);

void BM_openssl_gcm_prefetched(benchmark::State& state) {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  gcm_round_trips(state, cipher);
}
BENCHMARK(BM_openssl_gcm_prefetched);

}  // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/qmcore-protection-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string key = std::string(dir) + "/machine.key";
  krCore::detail::set_machine_key_file(key);

  initialize_interleaved(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter(RecordingReporter::cpu_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  unlink(key.c_str());
  rmdir(dir);

  const auto ours = reporter.times.find("BM_securestring_protect_unprotect");
  std::printf("\nRatio of the securestring round trip to the bare GCM round trips (CPU time):\n");
  for (const char* peer : {"BM_openssl_gcm_encrypt_decrypt", "BM_openssl_gcm_prefetched"}) {
    const auto bare = reporter.times.find(peer);
    if (ours == reporter.times.end() || bare == reporter.times.end()) continue;
    std::printf("  securestring %.0f ns = %.2fx %s (%.0f ns)\n", ours->second,
                ours->second / bare->second, peer, bare->second);
  }
  return 0;
}
