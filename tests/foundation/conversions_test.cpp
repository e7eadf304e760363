// Narrow/wide conversions (UTF-8 here) and the string splitter.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/utf.h"

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
  EXPECT_EQ(convertwstringtostring(std::wstring(1, static_cast<wchar_t>(0xDC00)) + L"\U0001F600"),
            "?\xf0\x9f\x98\x80");        // a low surrogate first pairs with nothing
  if constexpr (sizeof(wchar_t) == 4) {  // past U+10FFFF: only a 32-bit wchar_t holds it
    EXPECT_EQ(convertwstringtostring(std::wstring(1, static_cast<wchar_t>(0x110000))), "?");
  }
  // Invalid UTF-8: one U+FFFD per maximal invalid subpart.
  EXPECT_EQ(convertstringtowstring("a\x80z"), L"a\uFFFDz");
  EXPECT_EQ(convertstringtowstring("\xe6\x97x\xe6\x97"), L"\uFFFDx\uFFFD");  // truncated
  EXPECT_EQ(convertstringtowstring("\xc0\xaf"), L"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(convertstringtowstring("\xed\xa0\x80"), L"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(convertstringtowstring("\xf4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(Conversions, LogFileEncodingsMatchTheGeneralConversionsAtEveryPosition) {
  // The log files' encoders take runs of 8, 16 and 32 plain characters at
  // once, the last few as the run that ends with them, and the rest one by
  // one: a character that needs care (a pair, a replacement, the first one
  // past a run's range, a line break) at every position, in texts of every
  // length around the run sizes. UTF-16LE and UTF-8 must be what the
  // general conversions give; the text format's line stops at a break.
  // (A character past U+FFFF is a pair where wchar_t has 16 bits.)
  const std::wstring special[] = {
      L"\u007f",
      L"\u0080",
      L"\u00e9",
      L"\u8000",
      L"\ud7ff",
      std::wstring(1, static_cast<wchar_t>(0xD800)),
      L"\ue000",
      L"\U0001F600",
      L"\r",
      L"\n",
      std::wstring(1, static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x110000 : 0xDFFF)),
      // Negative where wchar_t is a signed 32-bit type: no character, so a
      // replacement, not a unit made of its low bits.
      std::wstring(1, static_cast<wchar_t>(-1))};
  for (const std::wstring& odd : special) {
    for (std::size_t length = 0; length <= 70; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        std::wstring text(length, L'a');
        if (at < length) text.replace(at, 1, odd);
        const auto where = [&] {
          return "character " + std::to_string(static_cast<unsigned>(odd[0])) + " at " +
                 std::to_string(at) + " of " + std::to_string(length);
        };
        std::vector<char> out(4 * text.size() + 1);
        const char* const begin = out.data();
        const char* end = krCore::detail::encode_utf16le(text, out.data());
        std::string expected;
        for (const char16_t unit : krCore::detail::utf16_from_wide(text)) {
          expected.push_back(static_cast<char>(unit & 0xFF));
          expected.push_back(static_cast<char>(unit >> 8));
        }
        ASSERT_EQ(std::string(begin, end), expected) << "UTF-16LE, " << where();

        end = krCore::detail::encode_utf8(text, out.data());
        ASSERT_EQ(std::string(begin, end), krCore::detail::utf8_from_wide(text))
            << "UTF-8, " << where();

        const std::size_t line = std::min(text.find_first_of(L"\r\n"), text.size());
        std::size_t used = 99;
        end = krCore::detail::encode_utf8_to_break(text, used, out.data());
        ASSERT_EQ(used, line) << "UTF-8 to a break, " << where();
        ASSERT_EQ(std::string(begin, end), krCore::detail::utf8_from_wide(text.substr(0, line)))
            << "UTF-8 to a break, " << where();
      }
    }
  }
}

TEST(Conversions, CharactersPastTheBasicPlaneAreOnePairInUtf16) {
  const std::wstring text = L"x\U0001F600\U0010FFFFy";
  EXPECT_EQ(krCore::detail::utf16_from_wide(text), u"x\U0001F600\U0010FFFFy");
  EXPECT_EQ(krCore::detail::wide_from_utf16(u"x\U0001F600\U0010FFFFy"), text);
  // File names keep their characters and their undecodable bytes.
  EXPECT_EQ(krCore::detail::file_name_from_wide(
                krCore::detail::wide_from_file_name("\xf0\x9f\x98\x80\xff")),
            "\xf0\x9f\x98\x80\xff");
  EXPECT_EQ(krCore::detail::file_name_from_wide(L"\U0001F600"), "\xf0\x9f\x98\x80");
}

TEST(SplitString, RunsWithoutEmptyElements) {
  using list = std::vector<std::wstring>;
  EXPECT_EQ(splitstring(L";a;;b;", L";"), (list{L"a", L"b"}));
  EXPECT_EQ(splitstring(L"a, b,c", L", "), (list{L"a", L"b", L"c"}));
  EXPECT_TRUE(splitstring(L";;;", L";").empty());
  EXPECT_EQ(splitstring(L"abc", L""), (list{L"abc"}));
}
