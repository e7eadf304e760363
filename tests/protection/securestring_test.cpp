// securestring and AutoDataBlob: texts survive protection and the Base64
// form, plaintexts are wiped where they are left, and damaged or foreign
// blobs fail with their codes and texts.
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <krcore/protection.h>

#include <filesystem>
#include <krcore/sysutil.h>

#include <string>
#include <vector>

#include "foundation/thrown.h"
#include "protection/key_dir.h"

namespace {

using krCore::AutoDataBlob;
using krCore::securestring;
using protecttest::KeyTest;
using testsupport::thrown;

constexpr std::size_t kOverhead = 52;  // header and tag around the ciphertext
constexpr unsigned int kBadKey = 0x8009000B;
constexpr unsigned int kBadData = 0x80090005;

std::vector<unsigned char> blob_bytes(const securestring& s) {
  return krCore::FromBase64(s.to_encrypted_base64());
}

securestring from_bytes(const std::vector<unsigned char>& bytes) {
  return securestring::from_encrypted_base64(krCore::ToBase64Str(bytes));
}

// The code a read of `s` fails with, 0 when it does not fail.
unsigned int read_failure(const securestring& s) {
  auto e = thrown<krException>([&] { s.c_str(); });
  return e ? e->code() : 0;
}

using SecureString = KeyTest;

TEST_F(SecureString, EmptyTextsHoldNoBlob) {
  for (const securestring& s :
       {securestring(), securestring(L""), securestring::from_encrypted_base64("")}) {
    EXPECT_EQ(s.length(), 0u);
    EXPECT_EQ(s.str(), L"");
    EXPECT_STREQ(s.c_str(), L"");
    EXPECT_EQ(s.to_encrypted_base64(), "");
  }
}

TEST_F(SecureString, ThreeLettersAreProtectedAtOnceAndReadAgainAfterAWipe) {
  securestring s(L"abc");
  EXPECT_EQ(s.length(), kOverhead + 6);
  // The protected form does not carry the text's UTF-16 bytes.
  const std::vector<unsigned char> bytes = blob_bytes(s);
  const std::string plain("a\0b\0c\0", 6);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find(plain), std::string::npos);

  const std::wstring& text = s.str();
  EXPECT_EQ(text, L"abc");
  const wchar_t* chars = text.data();
  s.clearplaintext();
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(chars[1], L'?');
  EXPECT_EQ(chars[2], L'?');
  EXPECT_STREQ(s.c_str(), L"abc");
  EXPECT_STREQ(s.c_str(), L"abc");  // a read does not use up the blob

  // encrypt() protects the read text anew, under a fresh nonce.
  const std::string before = s.to_encrypted_base64();
  s.encrypt();
  EXPECT_TRUE(text.empty());
  EXPECT_NE(s.to_encrypted_base64(), before);
  EXPECT_EQ(s.str(), L"abc");
}

TEST_F(SecureString, NonAsciiAndAstralCharactersSurviveTheBase64Form) {
  const std::wstring text = L"p\u00e4ssw\u00f6rd \u6f22\u5b57 \U0001F511\U00010348";
  securestring s(text.c_str());
  // UTF-16: each astral character takes two units.
  EXPECT_EQ(s.length(), kOverhead + 2 * (text.size() + 2));
  const std::string base64 = s.to_encrypted_base64();
  EXPECT_EQ(securestring::from_encrypted_base64(base64).str(), text);

  // A configuration file may break the text into lines.
  std::string broken = base64;
  broken.insert(40, "\r\n  ");
  broken.insert(10, "\t");
  EXPECT_EQ(securestring::from_encrypted_base64(broken).str(), text);
}

TEST_F(SecureString, EveryEqualsSignDecodesAsAAndDropsAByte) {
  // "QU=C" reads as "QUAC" (0x41 0x40 0x02); one '=' drops the last byte.
  const securestring s = securestring::from_encrypted_base64("QU=C");
  EXPECT_EQ(s.length(), 2u);
  EXPECT_EQ(s.to_encrypted_base64(), "QUA=");
  // Those bytes are no blob: the first read says so.
  EXPECT_EQ(read_failure(s), 13u);

  try {
    securestring::from_encrypted_base64("QUJD*");
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "attempt to decode a value not in base64 char set");
  }
}

TEST_F(SecureString, NullTextThrowsInvalidParameter) {
  auto e = thrown<krException>([] { securestring s(nullptr); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 87u);
  EXPECT_STREQ(e->what(), "securestring::securestring string to encrypt cannot be NULL");
}

TEST_F(SecureString, CopiesCarryTheBlobAndThePlaintextAsItStands) {
  securestring a(L"secret");
  a.c_str();
  securestring b = a.copy();
  securestring c(a);
  securestring d(L"other");
  d = a;
  d = d;
  for (const securestring* s : {&b, &c, &d}) {
    EXPECT_EQ(s->to_encrypted_base64(), a.to_encrypted_base64());
    EXPECT_EQ(s->str(), L"secret");
  }
  // The copies are independent: wiping one leaves the others readable.
  b.clearplaintext();
  a = securestring();
  EXPECT_EQ(a.length(), 0u);
  EXPECT_EQ(c.str(), L"secret");
}

TEST_F(SecureString, SecureClearOverwritesEveryCharacterInPlace) {
  for (std::wstring text : {std::wstring(L"ab"), std::wstring(L"a password long enough for the heap")}) {
    const std::size_t n = text.size();
    const wchar_t* chars = text.data();
    securestring::SecureClear(text);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(chars[0], L'\0');
    for (std::size_t i = 1; i < n; ++i) EXPECT_EQ(chars[i], L'?') << i;
  }
}

TEST_F(SecureString, EverySingleBitFlipFails) {
  const std::vector<unsigned char> good = blob_bytes(securestring(L"flip me"));
  for (std::size_t byte = 0; byte < good.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<unsigned char> bad = good;
      bad[byte] ^= static_cast<unsigned char>(1u << bit);
      const unsigned int code = read_failure(from_bytes(bad));
      if (byte < 8)  // magic, version, algorithm, flags
        EXPECT_EQ(code, 13u) << byte << ":" << bit;
      else if (byte < 24)  // key identifier
        EXPECT_EQ(code, kBadKey) << byte << ":" << bit;
      else  // nonce, ciphertext, tag
        EXPECT_EQ(code, kBadData) << byte << ":" << bit;
    }
  }
}

TEST_F(SecureString, TruncatedBlobsFail) {
  const std::vector<unsigned char> good = blob_bytes(securestring(L"cut"));
  // Cut to nothing, a blob is an empty object (no failure); any other cut fails.
  for (std::size_t size = 1; size < good.size(); ++size) {
    const std::vector<unsigned char> cut(good.begin(), good.begin() + size);
    EXPECT_EQ(read_failure(from_bytes(cut)), size < kOverhead ? 13u : kBadData) << size;
  }
}

TEST_F(SecureString, ABlobOfAnotherKeyFailsWithTheDecryptTextAndIsLogged) {
  const std::string base64 = securestring(L"elsewhere").to_encrypted_base64();
  use_key("other.key");

  using krCore::logger;
  logger::close();
  std::vector<std::pair<std::wstring, logger::log_levels>> logged;
  logger* log = krCore::singleton<logger>::instance();
  log->set_write_message_func(
      [&](const wchar_t* m, logger::log_levels l) { logged.emplace_back(m, l); });
  const std::wstring log_base = std::filesystem::path(dir.file("log")).wstring();
  log->initialize(0, logger::log_normal, 0, 0, log_base.c_str());
  logged.clear();

  const securestring s = securestring::from_encrypted_base64(base64);
  auto e = thrown<krException>([&] { s.c_str(); });
  logger::close();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), kBadKey);
  const char* text = "securestring::decrypt() CryptUnprotectData() failed. Error Code: 2148073483\n";
  EXPECT_STREQ(e->what(), text);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].first, krCore::convertstringtowstring(text));
  EXPECT_EQ(logged[0].second, logger::log_normal);

  // Back on its own key, the blob reads.
  use_key("machine.key");
  EXPECT_STREQ(s.c_str(), L"elsewhere");
}

TEST_F(SecureString, AFailedProtectionWipesThePlaintextAndKeepsTheBlob) {
  securestring s(L"kept");
  const std::string before = s.to_encrypted_base64();
  s.c_str();
  // A directory where the key file should be: not a key.
  krCore::detail::set_machine_key_file(dir.path());
  auto e = thrown<krException>([&] { s.encrypt(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 13u);
  EXPECT_STREQ(e->what(), "securestring::encrypt() CryptProtectData() failed. Error Code: 13\n");
  EXPECT_EQ(s.to_encrypted_base64(), before);
  use_key("machine.key");
  EXPECT_STREQ(s.c_str(), L"kept");
}

TEST(AutoDataBlobTest, CopiesBytesAndUtf16UnitsWithoutTerminator) {
  AutoDataBlob blob;
  EXPECT_EQ(blob.cbData, 0u);
  EXPECT_EQ(blob.pbData, nullptr);

  const std::string bytes("a\0\xff", 3);
  blob.Copy(bytes);
  ASSERT_EQ(blob.cbData, 3u);
  EXPECT_EQ(blob.AsString(), bytes);

  blob.Copy(std::wstring(L"A\U0001F511"));
  ASSERT_EQ(blob.cbData, 6u);
  const unsigned char expected[] = {0x41, 0x00, 0x3D, 0xD8, 0x11, 0xDD};
  EXPECT_EQ(std::vector<unsigned char>(blob.pbData, blob.pbData + 6),
            std::vector<unsigned char>(expected, expected + 6));
  EXPECT_EQ(blob.AsWString(), L"A\U0001F511");

  // An odd last byte is dropped; an unpaired surrogate reads as U+FFFD.
  blob.Copy(std::string("\x41\x00\x00\xD8\x42\x00\x43", 7));
  EXPECT_EQ(blob.AsWString(), L"A\uFFFDB");

  blob.Clear();
  EXPECT_EQ(blob.cbData, 0u);
  EXPECT_EQ(blob.pbData, nullptr);
  EXPECT_EQ(blob.AsWString(), L"");
  blob.Copy(std::string());
  EXPECT_EQ(blob.pbData, nullptr);
}

}  // namespace
