// Narrow/wide conversions (UTF-8 here) and the string splitter.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

using krCore::convertstringtowstring;
using krCore::convertwstringtostring;
using krCore::splitstring;

TEST(Conversions, NonAsciiAndEveryLengthBoundaryRoundTrip) {
  const std::wstring text = L"Gr\u00fc\u00df \u65e5\u672c \U0001F600 end";
  const std::string narrow = convertwstringtostring(text);
  EXPECT_EQ(narrow, "Gr\xc3\xbc\xc3\x9f \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 end");
  EXPECT_EQ(convertstringtowstring(narrow), text);
  EXPECT_EQ(convertwstringtostring(L""), "");
  // The last and first scalar value of each encoded length.
  const std::wstring edges = L"\u007f\u0080\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010FFFF";
  EXPECT_EQ(convertwstringtostring(edges).size(), 1u + 2 + 2 + 3 + 3 + 3 + 3 + 4 + 4);
  EXPECT_EQ(convertstringtowstring(convertwstringtostring(edges)), edges);
}

TEST(Conversions, MalformedInputHasDefinedResults) {
  // Not scalar values: the default character.
  EXPECT_EQ(convertwstringtostring(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"a"), "?a");
  EXPECT_EQ(convertwstringtostring(std::wstring(1, static_cast<wchar_t>(0x110000))), "?");
  // Invalid UTF-8: one U+FFFD per maximal invalid subpart.
  EXPECT_EQ(convertstringtowstring("a\x80z"), L"a\uFFFDz");
  EXPECT_EQ(convertstringtowstring("\xe6\x97x\xe6\x97"), L"\uFFFDx\uFFFD");  // truncated
  EXPECT_EQ(convertstringtowstring("\xc0\xaf"), L"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(convertstringtowstring("\xed\xa0\x80"), L"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(convertstringtowstring("\xf4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(SplitString, RunsWithoutEmptyElements) {
  using list = std::vector<std::wstring>;
  EXPECT_EQ(splitstring(L";a;;b;", L";"), (list{L"a", L"b"}));
  EXPECT_EQ(splitstring(L"a, b,c", L", "), (list{L"a", L"b", L"c"}));
  EXPECT_TRUE(splitstring(L";;;", L";").empty());
  EXPECT_EQ(splitstring(L"abc", L""), (list{L"abc"}));
}
