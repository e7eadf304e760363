// Test support for the signature checks on both platforms: the fixture
// files, scratch copies to tamper with, and the test root trusted: on Linux
// through the roots folder the library reads (with the second opinion of
// osslsigncode), on Windows through the current user's root store.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
// <softpub.h> after <wintrust.h>.
#include <softpub.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <krcore/signatures.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace sigtest {

namespace fs = std::filesystem;

#if defined(_WIN32)
// The build tree is drive Z: under Wine.
inline fs::path fixture(const std::string& name) {
  return fs::path("Z:" SIGNATURE_FIXTURES) / fs::path(name).make_preferred();
}
#else
inline fs::path fixture(const std::string& name) { return fs::path(SIGNATURE_FIXTURES) / name; }
#endif
inline fs::path trusted_roots() { return fixture("roots"); }

// The verdicts (HRESULTs) of winverifytrustonfile.
constexpr unsigned long kTrusted = 0;
constexpr unsigned long kNoSignature = 0x800B0100;
constexpr unsigned long kNotPe = 0x800B0003;
constexpr unsigned long kBadDigest = 0x80096010;
constexpr unsigned long kBadSignature = 0x80090006;
constexpr unsigned long kChaining = 0x800B010A;
constexpr unsigned long kUntrustedRoot = 0x800B0109;
constexpr unsigned long kExpired = 0x800B0101;
constexpr unsigned long kWrongUsage = 0x800B0110;

inline std::vector<unsigned char> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const fs::path& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t le32(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline void put_le32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

#if defined(_WIN32)
// The system's own verdict on `file`, asked the plainest way, with nothing
// of the library in between.
inline long system_verdict(const fs::path& file) {
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
inline bool chain_goes_unchecked() { return system_verdict(fixture("self.exe")) == 0; }
constexpr const char* kChainGap =
    "Wine's trust provider skips the chain check of a SHA-256-signed signer certificate";

// Adds the test root (a PEM file) to the current user's root store (kept
// there: the build tree's Wine prefix is the tests' own).
bool trust_test_root();
#endif

// The code and the error text of getfiledigitalsignatureinfo's failure on
// `file` (0 when it succeeds).
inline std::pair<unsigned long, std::string> signature_info_failure(const fs::path& file) {
  std::wstring publisher, issuer;
  try {
    krCore::getfiledigitalsignatureinfo(file.wstring(), publisher, issuer);
  } catch (const krException& e) {
    return {e.code(), e.what()};
  }
  return {0, {}};
}

// Each test gets its own scratch folder and trusts the test root (on Linux
// the roots folder, or the folder a test names).
class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    ASSERT_TRUE(trust_test_root());
    const unsigned long pid = GetCurrentProcessId();
#else
    trust(trusted_roots());
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    scratch = fs::temp_directory_path() /
              ("qmcore-sig-" + std::to_string(pid) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch);
    fs::create_directories(scratch);
  }
  void TearDown() override {
#if !defined(_WIN32)
    ::unsetenv("KRCORE_CODESIGN_ROOTS");
#endif
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }

#if !defined(_WIN32)
  static void trust(const fs::path& folder) {
    ::setenv("KRCORE_CODESIGN_ROOTS", folder.c_str(), 1);
  }
#endif

  // A copy of fixture `name` with `change` applied, under `as`.
  template <class Change>
  fs::path tampered(const std::string& name, const std::string& as, Change change) {
    std::vector<unsigned char> bytes = read_bytes(fixture(name));
    change(bytes);
    const fs::path path = scratch / as;
    write_bytes(path, bytes);
    return path;
  }

#if !defined(_WIN32)
  // osslsigncode's verdict with the same root: true when it accepts.
  static bool oracle_accepts(const fs::path& file, const fs::path& roots = trusted_roots()) {
    const fs::path root = roots / "root.pem";
    std::string cmd = "osslsigncode verify -in '" + file.string() + "'";
    if (fs::exists(root))
      cmd += " -CAfile '" + root.string() + "' -TSA-CAfile '" + root.string() + "'";
    else
      cmd += " -CAfile /dev/null";
    cmd += " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
#endif

  fs::path scratch;
};

}  // namespace sigtest
