// Signature checks on Windows that have no Linux counterpart (the shared
// verdicts, names and publisher checks are verdicts_test.cpp's): signers
// whose whole chain is SHA-1-signed, so that Wine's trust provider checks
// it, judged on the system's root stores and their time; the signer's
// usages; and names that are no plain file. The test root is trusted
// through the current user's root store.
#include "signatures/signature_support.h"

#include <string>
#include <vector>

using namespace sigtest;

// The DER bytes of the test root (a PEM file).
static std::vector<BYTE> root_der() {
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

bool sigtest::trust_test_root() {
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

namespace {

constexpr unsigned long kAccessDenied = 0x80070005;

// Wine's Authenticode policy does not look at the signer's usages: a
// signer certificate for servers only is trusted to sign code.
constexpr const char* kUsageGap = "Wine's trust provider does not check the signer's usages";

class SystemTrust : public SignatureTest {};

}  // namespace

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

// A folder, or a pipe whose server never writes, is refused at once
// instead of being read (a read of the pipe would wait for ever). A pipe
// is no file the publisher check can access: it is not trusted.
TEST_F(SystemTrust, NamesThatAreNoPlainFileAreRefusedUnread) {
  EXPECT_EQ(kAccessDenied, krCore::winverifytrustonfile(scratch.wstring()));
  EXPECT_EQ(5u, signature_info_failure(scratch).first);

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
        r->info = signature_info_failure(r->name).first;
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
