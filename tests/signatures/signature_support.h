// Test support for the signature checks: the fixture files, scratch copies
// to tamper with, the roots folder the library trusts, and the second
// opinion of osslsigncode.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace sigtest {

namespace fs = std::filesystem;

inline fs::path fixture(const std::string& name) { return fs::path(SIGNATURE_FIXTURES) / name; }
inline fs::path trusted_roots() { return fixture("roots"); }

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

// Each test gets its own scratch folder and trusts the fixture root (or the
// folder a test names).
class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch = fs::temp_directory_path() /
              ("qmcore-sig-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    trust(trusted_roots());
  }
  void TearDown() override {
    ::unsetenv("KRCORE_CODESIGN_ROOTS");
    fs::remove_all(scratch);
  }

  static void trust(const fs::path& folder) {
    ::setenv("KRCORE_CODESIGN_ROOTS", folder.c_str(), 1);
  }

  // A copy of fixture `name` with `change` applied, under `as`.
  template <class Change>
  fs::path tampered(const std::string& name, const std::string& as, Change change) {
    std::vector<unsigned char> bytes = read_bytes(fixture(name));
    change(bytes);
    const fs::path path = scratch / as;
    write_bytes(path, bytes);
    return path;
  }

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

  fs::path scratch;
};

}  // namespace sigtest
