// A second opinion on every verdict: each fixture, and copies of a signed
// file changed region by region (one byte flipped in each part of the
// image and of the certificate table, the file cut short, bytes appended
// with and without the table growing over them), must be trusted here
// exactly when osslsigncode accepts them.
#include <krcore/signatures.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "decoded_signature.h"
#include "signature_support.h"

using namespace sigtest;

namespace {

bool oracle_present() { return std::system("osslsigncode --version >/dev/null 2>&1") == 0; }

class OracleAgreement : public SignatureTest {
 protected:
  // Checks one file both ways; a disagreement names the file and both sides.
  void agree(const fs::path& path, const std::string& what) {
    const unsigned long verdict = krCore::winverifytrustonfile(path.wstring());
    const bool oracle = oracle_accepts(path);
    EXPECT_EQ(verdict == 0, oracle) << what << ": here 0x" << std::hex << verdict
                                    << ", osslsigncode " << (oracle ? "accepts" : "rejects");
  }
};

}  // namespace

TEST_F(OracleAgreement, EveryFixture) {
  if (!oracle_present()) GTEST_SKIP() << "osslsigncode is not installed";
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(SIGNATURE_FIXTURES))) {
    if (entry.path().extension() != ".exe") continue;
    agree(entry.path(), entry.path().filename().string());
    ++files;
  }
  EXPECT_GE(files, 10u);
}

TEST_F(OracleAgreement, TamperedCopiesOfASignedFile) {
  if (!oracle_present()) GTEST_SKIP() << "osslsigncode is not installed";
  const std::vector<unsigned char> original = read_bytes(fixture("good64.exe"));
  krCore::detail::pe_layout layout;
  sigtest::pkcs7_ptr p7;
  ASSERT_EQ(0u, sigtest::read_signature(original.data(), original.size(), layout, p7));
  const std::size_t pe = le32(original, 0x3C);
  const std::size_t sections = pe + 24 + (original[pe + 20] | (original[pe + 21] << 8));
  const std::size_t first_section = le32(original, sections + 20);  // PointerToRawData
  const std::size_t table = layout.cert_table, table_size = layout.cert_size;
  const std::vector<unsigned char> entry(original.begin() + static_cast<long>(table),
                                         original.end());

  using Change = std::function<void(std::vector<unsigned char>&)>;
  const auto flip = [](std::size_t at) -> Change { return [at](auto& b) { b[at] ^= 0x04; }; };
  const auto cut = [](std::size_t size) -> Change { return [size](auto& b) { b.resize(size); }; };
  // Appends `tail`, and with `grow` makes the table's size cover it.
  const auto append = [&](const std::vector<unsigned char>& tail, bool grow) -> Change {
    return [&layout, tail, grow](auto& b) {
      b.insert(b.end(), tail.begin(), tail.end());
      if (grow)
        put_le32(b, layout.cert_entry + 4,
                 le32(b, layout.cert_entry + 4) + static_cast<std::uint32_t>(tail.size()));
    };
  };
  const std::vector<unsigned char> header_only = {16, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const struct {
    const char* name;
    Change change;
  } variants[] = {
      {"dos header", flip(0x02)},
      {"file header time stamp", flip(pe + 8)},
      {"optional header checksum", flip(layout.checksum)},
      {"optional header code size", flip(pe + 24 + 4)},
      {"section table", flip(sections + 1)},
      {"first section", flip(first_section + 0x40)},
      {"last image byte", flip(table - 1)},
      {"table offset", flip(layout.cert_entry)},
      {"table size", flip(layout.cert_entry + 4 + 1)},
      {"entry length", flip(table + 1)},
      {"entry revision", flip(table + 5)},
      {"entry type", flip(table + 6)},
      {"signature start", flip(table + 8)},
      {"signature middle", flip(table + table_size / 2)},
      {"signature end", flip(original.size() - 1)},
      {"cut by one byte", cut(original.size() - 1)},
      {"cut by eight bytes", cut(original.size() - 8)},
      {"cut at the table", cut(table)},
      {"cut in the image", cut(table / 2)},
      {"bytes appended", append(std::vector<unsigned char>(16, 0), false)},
      {"table grown over zeros", append(std::vector<unsigned char>(16, 0), true)},
      {"table grown over text", append(std::vector<unsigned char>(16, 'A'), true)},
      {"second entry", append(entry, true)},
      {"second entry header", append(header_only, true)},
  };
  for (const auto& v : variants) {
    const fs::path path = tampered("good64.exe", "variant.exe", v.change);
    agree(path, v.name);
  }
}
