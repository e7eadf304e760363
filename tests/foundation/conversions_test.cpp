// Narrow/wide conversions (UTF-8 here) and the string splitter.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <random>

using krCore::convertstringtowstring;
using krCore::convertwstringtostring;
using krCore::splitstring;

TEST(Conversions, NonAsciiRoundTrips) {
  const std::wstring text = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600 end";
  const std::string narrow = convertwstringtostring(text);
  EXPECT_EQ(narrow, "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 end");
  EXPECT_EQ(convertstringtowstring(narrow), text);
  EXPECT_EQ(convertwstringtostring(L""), "");
  EXPECT_EQ(convertstringtowstring(""), L"");
}

TEST(Conversions, RandomScalarValuesRoundTrip) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<unsigned> dist(1, 0x10FFFF);
  for (int round = 0; round < 200; ++round) {
    std::wstring text;
    for (int i = 0; i < 300; ++i) {
      unsigned c = dist(rng);
      if (c >= 0xD800 && c <= 0xDFFF) c = 0x41;
      text.push_back(static_cast<wchar_t>(c));
    }
    ASSERT_EQ(convertstringtowstring(convertwstringtostring(text)), text);
  }
}

TEST(Conversions, MalformedInputHasDefinedResults) {
  // Not scalar values: the default character.
  EXPECT_EQ(convertwstringtostring(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"a"), "?a");
  EXPECT_EQ(convertwstringtostring(std::wstring(1, static_cast<wchar_t>(0x110000))), "?");
  // Invalid UTF-8: one U+FFFD per maximal invalid subpart.
  EXPECT_EQ(convertstringtowstring("a\x80" "b"), L"a\uFFFDb");
  EXPECT_EQ(convertstringtowstring("\xe6\x97"), L"\uFFFD");          // truncated
  EXPECT_EQ(convertstringtowstring("\xc0\xaf"), L"\uFFFD\uFFFD");    // overlong
  EXPECT_EQ(convertstringtowstring("\xed\xa0\x80"), L"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(convertstringtowstring("\xf4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(convertstringtowstring("\xe6\x97x"), L"\uFFFDx");
}

TEST(SplitString, RunsWithoutEmptyElements) {
  EXPECT_EQ(splitstring(L";a;;b;", L";"), (std::vector<std::wstring>{L"a", L"b"}));
  EXPECT_EQ(splitstring(L"a, b,c", L", "), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(splitstring(L"whole", L";"), (std::vector<std::wstring>{L"whole"}));
  EXPECT_TRUE(splitstring(L"", L";").empty());
  EXPECT_TRUE(splitstring(L";;;", L";").empty());
  EXPECT_EQ(splitstring(L"abc", L""), (std::vector<std::wstring>{L"abc"}));
}
