// Trusted publishers: the built-in patterns, the whole-name test, and the
// full check of a file with what it logs and throws on the way.
#include <krcore/signatures.h>

// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include "logging/log_capture.h"
#include "signature_support.h"
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

// What the check logs on the way; the verdicts of the other fixtures are
// verdicts_test.cpp's part.
TEST_F(PublisherCheck, SignedByATrustedPublisher) {
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin(), fixture("good64.exe").wstring()));
  EXPECT_FALSE(logged(L"TestExpr() - pattern [Vantrel\\b.*], str [Vantrel Software Ltd], "
                      L"ignore case [1] - result [1]")
                   .empty());
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

// The names read and the failure are logged; the names and codes themselves
// are verdicts_test.cpp's part.
TEST_F(PublisherCheck, SignatureInfoAndItsFailuresAreLogged) {
  std::wstring publisher, issuer;
  krCore::getfiledigitalsignatureinfo(fixture("good32.exe").wstring(), publisher, issuer);
  EXPECT_EQ(1u, logged(L"getfiledigitalsignatureinfo - publisher [Vantrel Software Ltd], issuer "
                       L"[Signature Test Intermediate] from file [" +
                       fixture("good32.exe").wstring() + L"]")
                    .size());
  EXPECT_EQ(0x80092009u, signature_info_failure(fixture("unsigned.exe")).first);
  EXPECT_EQ(1u, logged(L"CryptQueryObject failed. Error Code: -2146885623").size());
}
