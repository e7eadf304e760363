// The fuzz target run over inputs made from real blobs: each with one to
// four random byte changes, cut short, or spelled as Base64 with noise, so
// that the suite catches a parser fault without a fuzzing run.
#include <gtest/gtest.h>
#include <krcore/protection.h>
#include <krcore/sysutil.h>

#include <random>
#include <string>
#include <vector>

#include "protection/blob_fuzz.h"
#include "protection/key_dir.h"

namespace {

using BlobFuzz = protecttest::KeyTest;

TEST_F(BlobFuzz, MutatedBlobsAndTextsFindNoFault) {
  std::mt19937 rng(20261206);
  std::vector<std::vector<unsigned char>> seeds;
  for (const wchar_t* text : {L"a", L"abc", L"p\u00e4ss\U0001F511word", L"a longer password text"})
    seeds.push_back(krCore::FromBase64(krCore::securestring(text).to_encrypted_base64()));
  seeds.push_back({});

  const auto run = [](const std::vector<unsigned char>& input) {
    const char* fault = protecttest::fuzz_protection_input(input.data(), input.size());
    EXPECT_EQ(fault, nullptr) << fault << " (" << krCore::ToBase64Str(input) << ")";
  };
  for (int round = 0; round < 400; ++round) {
    std::vector<unsigned char> input = seeds[rng() % seeds.size()];
    switch (rng() % 3) {
      case 0:  // byte changes
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0 && !input.empty(); --k)
          input[rng() % input.size()] = static_cast<unsigned char>(rng());
        break;
      case 1:  // cut short
        input.resize(input.empty() ? 0 : rng() % input.size());
        break;
      default: {  // the Base64 spelling, with white space, '=' and strays
        std::string text = krCore::ToBase64Str(input);
        const char noise[] = " \n=A+/*";
        for (int k = static_cast<int>(rng() % 3); k > 0; --k)
          text.insert(text.begin() + static_cast<long>(rng() % (text.size() + 1)),
                      noise[rng() % (sizeof noise - 1)]);
        input.assign(text.begin(), text.end());
      }
    }
    run(input);
  }
}

}  // namespace
