// Base64, hexadecimal text and strings as bytes.
#include <gtest/gtest.h>
#include <krcore/sysutil.h>

#include <random>
#include <string>
#include <vector>

using namespace krCore;

namespace {

std::vector<unsigned char> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<unsigned char> random_bytes(std::mt19937& rng, std::size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<unsigned char> v(size);
  for (auto& b : v) b = static_cast<unsigned char>(byte(rng));
  return v;
}

// The text of the exception the decoder throws, or "" when it does not.
std::string decode_failure(const std::string& text) {
  try {
    Base64::Decode(text);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(Base64, KnownVectorsAndPadding) {
  EXPECT_EQ(Base64::Encode("abc", 3, false), "YWJj");
  EXPECT_EQ(Base64::Encode("ab", 2, false), "YWI=");
  EXPECT_EQ(Base64::Encode("a", 1, false), "YQ==");
  EXPECT_EQ(Base64::Encode("", 0, true), "");
  const std::string high("\xff\xfe\x80\x00\x7f", 5);
  EXPECT_EQ(Base64::Encode(high.data(), 5, false), "//6AAH8=");
  EXPECT_EQ(Base64::Decode("//6AAH8="), bytes_of(high));
  EXPECT_EQ(Base64::Decode("YQ=="), bytes_of("a"));
  EXPECT_EQ(Base64::Decode(""), std::vector<unsigned char>{});
  EXPECT_EQ(ToBase64WStr(bytes_of("ab"), false), L"YWI=");
  EXPECT_EQ(FromBase64(std::wstring(L"YWJj")), bytes_of("abc"));
}

// Broken text has a line feed after every 72 characters, none at the end.
TEST(Base64, RandomRoundTripsWithAndWithoutLineBreaks) {
  std::mt19937 rng(2);
  for (std::size_t size = 0; size < 400; ++size) {
    const auto data = random_bytes(rng, size);
    const std::string plain = ToBase64Str(data, false);
    const std::string broken = ToBase64Str(data, true);
    ASSERT_EQ(plain.size() % 4, 0u);
    std::string joined;
    for (std::size_t at = 0; at < broken.size(); at += 73) {
      joined += broken.substr(at, 72);
      if (at + 72 < broken.size()) {
        ASSERT_EQ(broken[at + 72], '\n') << size;
      }
    }
    ASSERT_EQ(joined, plain) << size;
    ASSERT_TRUE(broken.empty() || broken.back() != '\n') << size;
    ASSERT_EQ(FromBase64(plain), data) << size;
    ASSERT_EQ(FromBase64(broken), data) << size;
    ASSERT_EQ(FromBase64(ToBase64WStr(data, true)), data) << size;
  }
}

TEST(Base64, EveryEqualsSignCountsAsPaddingWhereverItStands) {
  const auto full = Base64::Decode("YAQA");
  ASSERT_EQ(full.size(), 3u);
  EXPECT_EQ(Base64::Decode("Y=Q="), std::vector<unsigned char>{full[0]});
  // A leading '=' decodes as 'A' and still drops a byte from the end.
  const auto shifted = Base64::Decode("AYWJj");
  ASSERT_EQ(shifted.size(), 3u);
  EXPECT_EQ(Base64::Decode("=YWJj"),
            std::vector<unsigned char>(shifted.begin(), shifted.end() - 1));
  EXPECT_EQ(Base64::Decode("===="), std::vector<unsigned char>{});  // more '=' than bytes
}

TEST(Base64, WhiteSpaceAnywhereAndLengthsThatAreNoMultipleOfFour) {
  EXPECT_EQ(Base64::Decode(" Y W\tJ\r\nj\v\f"), bytes_of("abc"));
  EXPECT_EQ(Base64::Decode("YWJj\n\n  "), bytes_of("abc"));
  // 6 bits per character, whole bytes only.
  EXPECT_EQ(Base64::Decode("Y"), std::vector<unsigned char>{});
  EXPECT_EQ(Base64::Decode("YW"), bytes_of("a"));
  EXPECT_EQ(Base64::Decode("YWJ"), bytes_of("ab"));
  EXPECT_EQ(Base64::Decode("YWJjY"), bytes_of("abc"));
}

TEST(Base64, CharactersOutsideTheAlphabetFail) {
  const std::string text = "attempt to decode a value not in base64 char set";
  EXPECT_EQ(decode_failure("YW-j"), text);
  EXPECT_EQ(decode_failure("YWJ\xc3"), text);
  EXPECT_EQ(decode_failure("YWJjY*"), text);  // even in the last, bit-less position
  EXPECT_EQ(decode_failure(std::string("YW\0j", 4)), text);
  EXPECT_THROW(FromBase64(std::wstring(L"YW\u0141j")), std::exception);  // not narrowed onto 'A'
}

TEST(Hex, FlagsRandomRoundTripsAppendAndRejectBadPairs) {
  const unsigned char b[] = {0x0A, 0xFF};
  EXPECT_EQ(BytesToHex(b, 2, false, false), L"0aff");
  EXPECT_EQ(BytesToHex(b, 2, true, true), L"0A FF");
  EXPECT_EQ(BytesToHex(b, 0, true, true), L"");
  std::mt19937 rng(3);
  for (std::size_t size = 0; size < 300; ++size) {
    const auto data = random_bytes(rng, size);
    std::vector<unsigned char> back{0x42};  // appended to, not replaced
    BytesFromHex(BytesToHex(data.data(), static_cast<unsigned>(size), size % 2 == 0, false), back);
    ASSERT_EQ(back.size(), size + 1);
    ASSERT_EQ(std::vector<unsigned char>(back.begin() + 1, back.end()), data);
  }
  std::vector<unsigned char> out;
  BytesFromHex(L"0aF", out);  // a lone last digit is ignored
  EXPECT_EQ(out, std::vector<unsigned char>{0x0A});
  out.clear();
  try {
    BytesFromHex(L"0a f", out);
    ADD_FAILURE() << "no exception";
  } catch (const krException& e) {
    EXPECT_EQ(e.code(), 13u);
  }
  EXPECT_TRUE(out.empty());  // nothing appended on failure
}

TEST(StringsAsBytes, Utf16LowByteFirstIncludingSurrogatePairs) {
  EXPECT_EQ(StringToHex(L"A"), L"4100");
  EXPECT_EQ(StringToHex(std::wstring(L"A\u00e9\u20ac"), true, true), L"41 00 E9 00 AC 20");
  // U+1F600 is the UTF-16 pair D83D DE00.
  EXPECT_EQ(StringToHex(L"\U0001F600"), L"3dd800de");
  EXPECT_EQ(StringToHex("\xc3\xa9"), L"c3a9");  // narrow text: its own bytes
  EXPECT_EQ(StringToHex(std::string("A\0B", 3), false, true), L"41 00 42");

  std::vector<unsigned char> bytes{9, 9, 9};
  EXPECT_EQ(StringToBytes(L"ab\U0001F600", 1, bytes), 8u);  // count only reserves
  EXPECT_EQ(bytes, (std::vector<unsigned char>{'a', 0, 'b', 0, 0x3d, 0xd8, 0x00, 0xde}));
  EXPECT_EQ(StringFromBytes(bytes), L"ab\U0001F600");
  EXPECT_EQ(StringFromBytes({0x41}), L"");  // odd last byte ignored
  EXPECT_EQ(StringFromHex(L"41004200"), L"AB");
  EXPECT_EQ(NarrowStringFromHex(L"c3A9"), "\xc3\xa9");
  const std::wstring mixed = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600\U0010FFFD";
  EXPECT_EQ(StringFromHex(StringToHex(mixed, true, false)), mixed);
}
