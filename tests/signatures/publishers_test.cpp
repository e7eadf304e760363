// Trusted publishers: the built-in patterns, the whole-name test, and the
// full check of a file with what it logs and throws on the way.
#include <krcore/signatures.h>

#include <openssl/pkcs7.h>

#include <algorithm>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include "logging/log_capture.h"
#include "signature_support.h"
#include "decoded_signature.h"
#include "signatures/publishers.h"

using namespace sigtest;
using krCore::detail::publisher_matches;

namespace {

class PublisherCheck : public SignatureTest {
 protected:
  void SetUp() override {
    SignatureTest::SetUp();
    krCore::logger::close();
    log = krCore::singleton<krCore::logger>::instance();
    log->set_write_message_func([this](const wchar_t* m, krCore::logger::log_levels l) {
      std::lock_guard<std::mutex> lock(mutex);
      entries.push_back({m, l});
    });
    log->initialize(0, krCore::logger::log_verbose, 0, 0, (scratch / "log").wstring().c_str());
    entries.clear();
  }
  void TearDown() override {
    krCore::logger::close();
    SignatureTest::TearDown();
  }

  // The entries whose text contains `part`.
  std::vector<logtest::entry> logged(const std::wstring& part) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<logtest::entry> out;
    for (const auto& e : entries)
      if (e.message.find(part) != std::wstring::npos) out.push_back(e);
    return out;
  }

  static std::vector<std::wstring> builtin() {
    std::vector<std::wstring> list;
    krCore::GetTrustedPublishers(list);
    return list;
  }

  krCore::logger* log = nullptr;
  std::mutex mutex;
  std::vector<logtest::entry> entries;
};

}  // namespace

TEST(TrustedPublishers, BuiltInListReplacesTheVectorsContents) {
  std::vector<std::wstring> list{L"left over", L"from before", L"x", L"y"};
  EXPECT_EQ(3u, krCore::GetTrustedPublishers(list));
  EXPECT_EQ((std::vector<std::wstring>{L"Microsoft\\b.*", L"Vantrel\\b.*", L"Zelvora LLC"}), list);
}

TEST(TrustedPublishers, WholeNameMatchesWithCaseIgnored) {
  EXPECT_TRUE(publisher_matches(L"Vantrel\\b.*", L"Vantrel Software Ltd"));
  EXPECT_TRUE(publisher_matches(L"Vantrel\\b.*", L"vantrel"));
  EXPECT_FALSE(publisher_matches(L"Vantrel\\b.*", L"VantrelX"));
  EXPECT_FALSE(publisher_matches(L"Vantrel\\b.*", L"The Vantrel Company"));
  EXPECT_TRUE(publisher_matches(L"Zelvora LLC", L"zelvora llc"));
  EXPECT_FALSE(publisher_matches(L"Zelvora LLC", L"Zelvora LLC."));
  EXPECT_THROW(publisher_matches(L"([", L"x"), std::regex_error);
}

TEST_F(PublisherCheck, SignedByATrustedPublisher) {
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin(), fixture("good64.exe").wstring()));
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin(), fixture("orgonly.exe").wstring()));
  EXPECT_FALSE(logged(L"TestExpr() - pattern [Vantrel\\b.*], str [Vantrel Software Ltd], "
                      L"ignore case [1] - result [1]")
                   .empty());
  // A trusted signature by a publisher not on the list.
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin(), fixture("acme.exe").wstring()));
  EXPECT_TRUE(krCore::verifydigitalcertificate({L"acme.*"}, fixture("acme.exe").wstring()));
  // The right name on an untrusted signature.
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin(), fixture("stranger.exe").wstring()));
}

TEST_F(PublisherCheck, MissingFileFailsWithoutAskingForTrust) {
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin(), (scratch / "none.exe").wstring()));
  const auto access = logged(L"verifydigitalcertificate::_taccess failed. Error Code: -1");
  ASSERT_EQ(1u, access.size());
  EXPECT_EQ(krCore::logger::log_normal, access[0].level);
  EXPECT_TRUE(logged(L"WinVerifyTrust").empty());
  // winverifytrustonfile logs the same and calls an absent file trusted.
  EXPECT_EQ(0u, krCore::winverifytrustonfile((scratch / "none.exe").wstring()));
  EXPECT_EQ(2u, logged(L"verifydigitalcertificate::_taccess failed.").size());
}

TEST_F(PublisherCheck, UnsignedFileWarnsAndNeverReadsTheSignature) {
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin(), fixture("unsigned.exe").wstring()));
  const auto warning =
      logged(L"verifydigitalcertificate::WinVerifyTrust failed. Error Code: -2146762496");
  ASSERT_EQ(1u, warning.size());
  EXPECT_EQ(krCore::logger::log_warning, warning[0].level);
  EXPECT_TRUE(logged(L"getfiledigitalsignatureinfo").empty());
  EXPECT_TRUE(logged(L"gettrustedpublishersfromdigitalcertificate").empty());

  EXPECT_EQ(0x800B0100u, krCore::winverifytrustonfile(fixture("unsigned.exe").wstring()));
  const auto normal = logged(L"winverifytrust::WinVerifyTrust failed. Error Code: -2146762496");
  ASSERT_EQ(1u, normal.size());
  EXPECT_EQ(krCore::logger::log_normal, normal[0].level);
}

TEST_F(PublisherCheck, SignatureInfoNamesThePrimarySignerAndItsIssuer) {
  std::wstring publisher, issuer;
  krCore::getfiledigitalsignatureinfo(fixture("good32.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Software Ltd", publisher);
  EXPECT_EQ(L"Signature Test Intermediate", issuer);
  EXPECT_EQ(1u, logged(L"getfiledigitalsignatureinfo - publisher [Vantrel Software Ltd], issuer "
                       L"[Signature Test Intermediate] from file [" +
                       fixture("good32.exe").wstring() + L"]")
                    .size());
  // Only an organisation name; a nested second signature does not count.
  krCore::getfiledigitalsignatureinfo(fixture("orgonly.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Systems", publisher);
  krCore::getfiledigitalsignatureinfo(fixture("nested.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Software Ltd", publisher);
  // Names are read whatever the trust: the self-signed signer is its own issuer.
  krCore::getfiledigitalsignatureinfo(fixture("self.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Self Signed", publisher);
  EXPECT_EQ(L"Vantrel Self Signed", issuer);
}

TEST_F(PublisherCheck, SignatureInfoFailuresThrowTheCallsCodeAndText) {
  const auto failure = [](const fs::path& file) {
    std::wstring publisher, issuer;
    try {
      krCore::getfiledigitalsignatureinfo(file.wstring(), publisher, issuer);
    } catch (const krException& e) {
      return std::make_pair(e.code(), std::string(e.what()));
    }
    return std::make_pair(0u, std::string());
  };
  const auto unsigned_file = failure(fixture("unsigned.exe"));
  EXPECT_EQ(0x80092009u, unsigned_file.first);
  EXPECT_EQ(
      "gettrustedpublishersfromdigitalcertificate::CryptQueryObject failed. Error Code: "
      "-2146885623",
      unsigned_file.second);
  EXPECT_EQ(1u, logged(L"CryptQueryObject failed. Error Code: -2146885623").size());
  EXPECT_EQ(2u, failure(scratch / "none.exe").first);

  // A signature whose signer information names a serial number that none
  // of its certificates has: the last copy of the serial is the signer's.
  const fs::path unknown = tampered("good64.exe", "unknown.exe", [](auto& b) {
    krCore::detail::pe_layout layout;
    sigtest::pkcs7_ptr p7;
    sigtest::read_signature(b.data(), b.size(), layout, p7);
    const ASN1_INTEGER* serial =
        sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0)->issuer_and_serial->serial;
    const auto at = std::find_end(b.begin() + static_cast<long>(layout.cert_table), b.end(),
                                  serial->data, serial->data + serial->length);
    ASSERT_NE(b.end(), at);
    at[serial->length - 1] ^= 0x01;
  });
  const auto no_cert = failure(unknown);
  EXPECT_EQ(0x80092004u, no_cert.first);
  EXPECT_EQ(
      "gettrustedpublishersfromdigitalcertificate::CertFindCertificateInStore failed. Error "
      "Code: -2146885628",
      no_cert.second);
  // The changed signer information no longer verifies either.
  EXPECT_NE(0u, krCore::winverifytrustonfile(unknown.wstring()));
}
