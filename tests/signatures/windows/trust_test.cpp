// Signature checks on Windows, where the system's trust provider and
// crypt32 judge and read the signed fixture files: each file's verdict
// with the test root trusted through the current user's root store, the
// same files tampered with, the signer's names, the publisher check, and
// names that are no plain file.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
// <softpub.h> after <wintrust.h>.
#include <softpub.h>

#include <gtest/gtest.h>
#include <krcore/signatures.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr unsigned long kTrusted = 0;
constexpr unsigned long kNoSignature = 0x800B0100;
constexpr unsigned long kBadDigest = 0x80096010;
constexpr unsigned long kUntrustedRoot = 0x800B0109;
constexpr unsigned long kExpired = 0x800B0101;
constexpr unsigned long kWrongUsage = 0x800B0110;
constexpr unsigned long kAccessDenied = 0x80070005;

// A fixture file as the program sees it: the build tree is drive Z:.
fs::path fixture(const std::string& name) {
  return fs::path("Z:" SIGNATURE_FIXTURES) / fs::path(name).make_preferred();
}

std::vector<BYTE> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& path, const std::vector<BYTE>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The system's own verdict on `file`, asked the plainest way, with nothing
// of the library in between.
long system_verdict(const fs::path& file) {
  WINTRUST_FILE_INFO info{sizeof info, file.c_str(), nullptr, nullptr};
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

// Wine's trust provider gives up its chain check, unnoticed, when the
// signer's certificate is signed with SHA-256 (its signature hash does not
// fit the 20 bytes the provider has room for), and so trusts such a file
// whatever its chain: a self-signed signer that no root store holds is
// trusted.
bool chain_goes_unchecked() { return system_verdict(fixture("self.exe")) == 0; }
constexpr const char* kChainGap =
    "Wine's trust provider skips the chain check of a SHA-256-signed signer certificate";

// Wine's Authenticode policy does not look at the signer's usages: a
// signer certificate for servers only is trusted to sign code.
constexpr const char* kUsageGap = "Wine's trust provider does not check the signer's usages";

// The DER bytes of the test root (a PEM file).
std::vector<BYTE> root_der() {
  const std::vector<BYTE> pem = read_bytes(fixture("roots/root.pem"));
  DWORD size = 0;
  const auto* text = reinterpret_cast<const char*>(pem.data());
  const auto length = static_cast<DWORD>(pem.size());
  if (!CryptStringToBinaryA(text, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr))
    return {};
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(text, length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                            nullptr))
    return {};
  der.resize(size);
  return der;
}

// Adds the test root to the current user's root store (kept there: the
// build tree's Wine prefix is the tests' own).
bool trust_test_root() {
  const std::vector<BYTE> der = root_der();
  if (der.empty()) return false;
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (!store) return false;
  const bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                   static_cast<DWORD>(der.size()),
                                                   CERT_STORE_ADD_USE_EXISTING, nullptr) != FALSE;
  CertCloseStore(store, 0);
  return ok;
}

// Each test trusts the test root, as a machine whose administrator chose
// it would, and has a scratch folder of its own.
class SystemTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(trust_test_root());
    scratch = fs::temp_directory_path() /
              ("qmcore-sig-" + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch);
    fs::create_directories(scratch);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }

  // A copy of fixture `name` with `change` applied, under `as`.
  template <class Change>
  fs::path tampered(const std::string& name, const std::string& as, Change change) {
    std::vector<BYTE> bytes = read_bytes(fixture(name));
    change(bytes);
    const fs::path path = scratch / as;
    write_bytes(path, bytes);
    return path;
  }

  // The code and the error text of getfiledigitalsignatureinfo's failure
  // (0 when it succeeds).
  static std::pair<unsigned long, std::string> info_failure(const fs::path& file) {
    std::wstring publisher, issuer;
    try {
      krCore::getfiledigitalsignatureinfo(file.wstring(), publisher, issuer);
    } catch (const krException& e) {
      return {e.code(), e.what()};
    }
    return {0, {}};
  }

  fs::path scratch;
};

std::uint32_t le32(const std::vector<BYTE>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

}  // namespace

// The files whose verdict needs no chain check agree with the Linux half:
// trusted signatures of every kind, no signature, and a changed image.
TEST_F(SystemTrust, SignaturesAndDigestsAreJudgedAsOnLinux) {
  const struct {
    const char* file;
    unsigned long verdict;
  } cases[] = {
      {"good64.exe", kTrusted},      {"good32.exe", kTrusted},
      {"sha1.exe", kTrusted},        {"orgonly.exe", kTrusted},
      {"acme.exe", kTrusted},        {"stamped.exe", kTrusted},
      {"expired_stamped.exe", kTrusted}, {"nested.exe", kTrusted},
      {"big.exe", kTrusted},         {"limited/code_ca.exe", kTrusted},
      {"unsigned.exe", kNoSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(c.verdict, krCore::winverifytrustonfile(fixture(c.file).wstring()));
  }

  const std::vector<BYTE> original = read_bytes(fixture("good64.exe"));
  const std::size_t pe = le32(original, 0x3C);
  const std::size_t headers_end = le32(original, pe + 24 + 60);  // SizeOfHeaders
  const fs::path code =
      tampered("good64.exe", "code.exe", [&](auto& b) { b[headers_end + 0x20] ^= 0x01; });
  EXPECT_EQ(kBadDigest, krCore::winverifytrustonfile(code.wstring()));
  const fs::path header =
      tampered("good64.exe", "header.exe", [&](auto& b) { b[pe + 8] ^= 0x01; });
  EXPECT_EQ(kBadDigest, krCore::winverifytrustonfile(header.wstring()));
  // The checksum is left out of the digest.
  const fs::path checksum =
      tampered("good64.exe", "checksum.exe", [&](auto& b) { b[pe + 24 + 64] ^= 0x5A; });
  EXPECT_EQ(kTrusted, krCore::winverifytrustonfile(checksum.wstring()));
}

// The verdicts that rest on the signer's chain: its root, its time and its
// usages. Trust comes from the system's root stores alone.
TEST_F(SystemTrust, ChainsAreJudgedAsOnLinux) {
  if (chain_goes_unchecked()) GTEST_SKIP() << kChainGap;
  const struct {
    const char* file;
    unsigned long verdict;
  } cases[] = {
      {"expired.exe", kExpired},
      {"self.exe", kUntrustedRoot},
      {"stranger.exe", kUntrustedRoot},
      {"web.exe", kWrongUsage},
      {"limited/server_ca.exe", kWrongUsage},
      {"limited/expired_stamped_server_ca.exe", kExpired},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(c.verdict, krCore::winverifytrustonfile(fixture(c.file).wstring()));
  }
}

// Signers whose certificates carry a SHA-1 signature, with their whole
// chain, root included: trusted when a root store holds their root, and
// then on their time; a root that no store holds is not trusted.
TEST_F(SystemTrust, TrustComesFromTheRootStoresAndTheSignersTime) {
  EXPECT_EQ(kTrusted, krCore::winverifytrustonfile(fixture("legacy/good.exe").wstring()));
  EXPECT_EQ(kExpired, krCore::winverifytrustonfile(fixture("legacy/expired.exe").wstring()));
  EXPECT_EQ(kUntrustedRoot,
            krCore::winverifytrustonfile(fixture("legacy/stranger.exe").wstring()));
  std::vector<std::wstring> builtin;
  krCore::GetTrustedPublishers(builtin);
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin, fixture("legacy/good.exe").wstring()));
  EXPECT_FALSE(
      krCore::verifydigitalcertificate(builtin, fixture("legacy/stranger.exe").wstring()));
}

// A signer certificate made for servers only signs no code.
TEST_F(SystemTrust, ASignerWithoutCodeSigningUsageIsRefused) {
  if (system_verdict(fixture("legacy/web.exe")) == 0) GTEST_SKIP() << kUsageGap;
  EXPECT_EQ(kWrongUsage, krCore::winverifytrustonfile(fixture("legacy/web.exe").wstring()));
}

TEST_F(SystemTrust, SignerNamesAreThoseOfThePrimarySignerAndItsIssuer) {
  std::wstring publisher, issuer;
  krCore::getfiledigitalsignatureinfo(fixture("good32.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Software Ltd", publisher);
  EXPECT_EQ(L"Signature Test Intermediate", issuer);
  // Only an organisation name; a nested second signature does not count;
  // names are read whatever the trust.
  krCore::getfiledigitalsignatureinfo(fixture("orgonly.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Systems", publisher);
  krCore::getfiledigitalsignatureinfo(fixture("nested.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Software Ltd", publisher);
  EXPECT_EQ(L"Signature Test Intermediate", issuer);
  krCore::getfiledigitalsignatureinfo(fixture("self.exe").wstring(), publisher, issuer);
  EXPECT_EQ(L"Vantrel Self Signed", publisher);
  EXPECT_EQ(L"Vantrel Self Signed", issuer);

  const auto unsigned_file = info_failure(fixture("unsigned.exe"));
  EXPECT_EQ(0x80092009u, unsigned_file.first);
  EXPECT_EQ(
      "gettrustedpublishersfromdigitalcertificate::CryptQueryObject failed. Error Code: "
      "-2146885623",
      unsigned_file.second);
  EXPECT_EQ(2u, info_failure(scratch / "none.exe").first);

  // Signer information that names a serial number none of the carried
  // certificates has: the last copy of the signer's serial in the file is
  // the signer information's own.
  // The signer's serial number, 0x1002, as DER writes it.
  const std::vector<BYTE> serial = {0x02, 0x02, 0x10, 0x02};
  const fs::path unknown = tampered("good64.exe", "unknown.exe", [&](auto& b) {
    const auto at = std::find_end(b.begin(), b.end(), serial.begin(), serial.end());
    ASSERT_NE(b.end(), at);
    at[3] ^= 0x01;
  });
  const auto no_cert = info_failure(unknown);
  EXPECT_EQ(0x80092004u, no_cert.first);
  EXPECT_EQ(
      "gettrustedpublishersfromdigitalcertificate::CertFindCertificateInStore failed. Error "
      "Code: -2146885628",
      no_cert.second);
}

TEST_F(SystemTrust, PublishersAreMatchedOnTheSignersName) {
  std::vector<std::wstring> builtin;
  krCore::GetTrustedPublishers(builtin);
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin, fixture("good64.exe").wstring()));
  EXPECT_TRUE(krCore::verifydigitalcertificate(builtin, fixture("orgonly.exe").wstring()));
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin, fixture("acme.exe").wstring()));
  EXPECT_TRUE(krCore::verifydigitalcertificate({L"acme.*"}, fixture("acme.exe").wstring()));
  EXPECT_FALSE(krCore::verifydigitalcertificate(builtin, fixture("unsigned.exe").wstring()));
}

// A folder, or a pipe whose server never writes, is refused at once
// instead of being read (a read of the pipe would wait for ever). A pipe
// is no file the publisher check can access: it is not trusted.
TEST_F(SystemTrust, NamesThatAreNoPlainFileAreRefusedUnread) {
  EXPECT_EQ(kAccessDenied, krCore::winverifytrustonfile(scratch.wstring()));
  EXPECT_EQ(5u, info_failure(scratch).first);

  const std::wstring pipe =
      L"\\\\.\\pipe\\qmcore-sig-" + std::to_wstring(GetCurrentProcessId());
  std::vector<HANDLE> servers;
  for (int i = 0; i < 4; ++i) {
    HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                     PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    servers.push_back(server);
  }
  struct outcome {
    std::wstring name;
    bool trusted = true;
    unsigned long info = 0;
  } result{pipe};
  HANDLE worker = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        auto* r = static_cast<outcome*>(arg);
        r->trusted = krCore::verifydigitalcertificate({L".*"}, r->name);
        r->info = info_failure(r->name).first;
        return 0;
      },
      &result, 0, nullptr);
  ASSERT_NE(nullptr, worker);
  const DWORD waited = WaitForSingleObject(worker, 60000);
  EXPECT_EQ(WAIT_OBJECT_0, waited) << "a check is reading the pipe";
  // Gone, the servers end any read still waiting.
  for (HANDLE server : servers) CloseHandle(server);
  if (waited != WAIT_OBJECT_0) WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  EXPECT_FALSE(result.trusted);
  EXPECT_EQ(5u, result.info);
}
