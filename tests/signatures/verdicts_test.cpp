// Signature checks that read alike on Linux and on Windows: each fixture's
// verdict, the image changed inside and outside what the digest covers, the
// signer's names and the failures of reading them, and the publisher check.
// On Linux the library judges (oracle_test.cpp has osslsigncode's second
// opinion on the same files); on Windows the system does, and the verdicts
// that rest on the signer's chain skip where Wine's trust provider checks no
// chain.
#include <krcore/signatures.h>

#include <algorithm>

#include "signature_support.h"

using namespace sigtest;
using krCore::winverifytrustonfile;

namespace {

class SignedFiles : public SignatureTest {
 protected:
  struct verdict_case {
    const char* file;
    unsigned long verdict;
  };
  void expect_verdicts(std::initializer_list<verdict_case> cases) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.file);
      EXPECT_EQ(c.verdict, winverifytrustonfile(fixture(c.file).wstring()));
    }
  }
};

}  // namespace

// Trusted signatures of every kind, and no signature: no chain check decides.
TEST_F(SignedFiles, EachFixtureGetsItsVerdict) {
  expect_verdicts({{"good64.exe", kTrusted},
                   {"good32.exe", kTrusted},
                   {"sha1.exe", kTrusted},
                   {"orgonly.exe", kTrusted},
                   {"acme.exe", kTrusted},
                   {"stamped.exe", kTrusted},
                   {"expired_stamped.exe", kTrusted},
                   {"nested.exe", kTrusted},
                   {"big.exe", kTrusted},
                   // An intermediate that names code signing passes it on.
                   {"limited/code_ca.exe", kTrusted},
                   {"unsigned.exe", kNoSignature}});
}

// The verdicts that rest on the signer's chain: its root, its time and its
// usages. A chain serves only the usages that every certificate in it
// allows, so a leaf or a time-stamp authority under a server-only
// intermediate gets no trust from it.
TEST_F(SignedFiles, ChainsGetTheirVerdicts) {
#if defined(_WIN32)
  if (chain_goes_unchecked()) GTEST_SKIP() << kChainGap;
#endif
  expect_verdicts({{"expired.exe", kExpired},
                   {"self.exe", kUntrustedRoot},
                   {"stranger.exe", kUntrustedRoot},
                   {"web.exe", kWrongUsage},
                   {"limited/server_ca.exe", kWrongUsage},
                   {"limited/expired_stamped_server_ca.exe", kExpired}});
}

TEST_F(SignedFiles, AChangedImageIsCaughtButTheChecksumIsLeftOut) {
  const std::vector<unsigned char> original = read_bytes(fixture("good64.exe"));
  const std::size_t pe = le32(original, 0x3C);
  const std::size_t headers_end = le32(original, pe + 24 + 60);  // SizeOfHeaders
  const struct {
    const char* name;
    std::size_t offset;
  } flips[] = {{"code.exe", headers_end + 0x20}, {"header.exe", pe + 8}};  // + time stamp
  for (const auto& f : flips) {
    SCOPED_TRACE(f.name);
    const fs::path path = tampered("good64.exe", f.name, [&](auto& b) { b[f.offset] ^= 0x01; });
    EXPECT_EQ(kBadDigest, winverifytrustonfile(path.wstring()));
  }
  const fs::path checksum =
      tampered("good64.exe", "checksum.exe", [&](auto& b) { b[pe + 24 + 64] ^= 0x5A; });
  EXPECT_EQ(kTrusted, winverifytrustonfile(checksum.wstring()));
}

TEST_F(SignedFiles, SignerNamesAreThoseOfThePrimarySignerAndItsIssuer) {
  const struct {
    const char* file;
    const wchar_t* publisher;
    const wchar_t* issuer;
  } cases[] = {
      {"good32.exe", L"Vantrel Software Ltd", L"Signature Test Intermediate"},
      {"orgonly.exe", L"Vantrel Systems", L"Signature Test Intermediate"},      // organisation only
      {"nested.exe", L"Vantrel Software Ltd", L"Signature Test Intermediate"},  // not the second
      // Names are read whatever the trust: the self-signed signer is its own issuer.
      {"self.exe", L"Vantrel Self Signed", L"Vantrel Self Signed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::wstring publisher, issuer;
    krCore::getfiledigitalsignatureinfo(fixture(c.file).wstring(), publisher, issuer);
    EXPECT_EQ(c.publisher, publisher);
    EXPECT_EQ(c.issuer, issuer);
  }
}

TEST_F(SignedFiles, SignatureInfoFailuresThrowTheCallsCodeAndText) {
  const auto unsigned_file = signature_info_failure(fixture("unsigned.exe"));
  EXPECT_EQ(0x80092009u, unsigned_file.first);
  EXPECT_EQ(
      "gettrustedpublishersfromdigitalcertificate::CryptQueryObject failed. Error Code: "
      "-2146885623",
      unsigned_file.second);
  EXPECT_EQ(2u, signature_info_failure(scratch / "none.exe").first);

  // Signer information that names a serial number none of the carried
  // certificates has: the last copy of the signer's serial, 0x1002 as DER
  // writes it, is the signer information's own.
  const std::vector<unsigned char> serial = {0x02, 0x02, 0x10, 0x02};
  const fs::path unknown = tampered("good64.exe", "unknown.exe", [&](auto& b) {
    const auto at = std::find_end(b.begin(), b.end(), serial.begin(), serial.end());
    ASSERT_NE(b.end(), at);
    at[3] ^= 0x01;
  });
  const auto no_cert = signature_info_failure(unknown);
  EXPECT_EQ(0x80092004u, no_cert.first);
  EXPECT_EQ(
      "gettrustedpublishersfromdigitalcertificate::CertFindCertificateInStore failed. Error "
      "Code: -2146885628",
      no_cert.second);
  // The changed signer information no longer verifies either.
  EXPECT_NE(kTrusted, winverifytrustonfile(unknown.wstring()));
}

TEST_F(SignedFiles, PublishersAreMatchedOnTheSignersName) {
  std::vector<std::wstring> builtin;
  krCore::GetTrustedPublishers(builtin);
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin, fixture("good64.exe").wstring()));
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin, fixture("orgonly.exe").wstring()));
  // A trusted signature by a publisher not on the list.
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin, fixture("acme.exe").wstring()));
  EXPECT_TRUE(krCore::verifydigitalcertificate({L"acme.*"}, fixture("acme.exe").wstring()));
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin, fixture("unsigned.exe").wstring()));
}
