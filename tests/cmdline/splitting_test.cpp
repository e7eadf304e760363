// Splitting command-line texts: the documented cases as a table, the
// program-name rules, and a round trip of random argument vectors through
// the quoting and back.
#include <gtest/gtest.h>
#include <krcore/cmdline.h>
#include <krcore/foundation.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cmdline/splitting.h"

namespace {

using Args = std::vector<std::wstring>;

Args split(const wchar_t* text) {
  int argc = -1;
  wchar_t** argv = CommandLineToArgvW(text, &argc);
  EXPECT_NE(argv, nullptr);
  if (!argv) return {};
  Args out(argv, argv + argc);
  EXPECT_EQ(argv[argc], nullptr);
  std::free(argv);
  return out;
}

struct Case {
  const wchar_t* text;
  Args expected;
};

TEST(CommandLineSplitting, DocumentedCases) {
  const Case cases[] = {
      // Quotes group; backslashes are literal unless a quote follows.
      {LR"(p "abc" d e)", {L"p", L"abc", L"d", L"e"}},
      {LR"(p a\\\b d"e f"g h)", {L"p", LR"(a\\\b)", L"de fg", L"h"}},
      // 2n+1 backslashes: n and a literal quote; 2n: n and a grouping quote.
      {LR"(p a\\\"b c d)", {L"p", LR"(a\"b)", L"c", L"d"}},
      {LR"(p a\\\\"b c" d e)", {L"p", LR"(a\\b c)", L"d", L"e"}},
      {LR"(p a\"b)", {L"p", L"a\"b"}},
      // Inside quotes a doubled quote is one literal quote and ends the
      // quoted part; every third quote of a run is a literal one.
      {LR"(p "a""b" c)", {L"p", L"a\"b c"}},
      {LR"(p "a b""c d")", {L"p", L"a b\"c", L"d"}},
      {LR"(p """"")", {L"p", L"\""}},
      {LR"(p """ x)", {L"p", L"\"", L"x"}},
      {LR"(p a""b c)", {L"p", L"ab", L"c"}},
      {LR"(p "")", {L"p", L""}},
      {LR"(p "" "" x)", {L"p", L"", L"", L"x"}},
      // An unterminated quote runs to the end, white space included.
      {LR"(p "a b   )", {L"p", L"a b   "}},
      // Runs of spaces and tabs separate; trailing blanks add nothing.
      {L"p \t a\t\tb  ", {L"p", L"a", L"b"}},
      {LR"(p a\)", {L"p", LR"(a\)"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.text), c.expected) << c.text;
}

TEST(CommandLineSplitting, ProgramNameHasItsOwnRules) {
  // Quoted: runs to the next quote, backslashes are plain characters, and the
  // next argument starts right after the closing quote.
  EXPECT_EQ(split(LR"("C:\Program Files\a.exe" x)"), (Args{LR"(C:\Program Files\a.exe)", L"x"}));
  EXPECT_EQ(split(LR"("a\"b c)"), (Args{LR"(a\)", L"b", L"c"}));
  EXPECT_EQ(split(LR"("a b"c d)"), (Args{L"a b", L"c", L"d"}));
  // Unquoted: up to the first blank, a quote inside is a plain character.
  EXPECT_EQ(split(LR"(a"b c)"), (Args{L"a\"b", L"c"}));
  // Leading white space: an empty program name.
  EXPECT_EQ(split(L"  x y"), (Args{L"", L"x", L"y"}));
  EXPECT_EQ(split(L" "), (Args{L""}));
}

TEST(CommandLineSplitting, EmptyTextGivesTheExecutableAndNullCountFails) {
  const Args empty = split(L"");
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_NE(empty[0].find(L"cmdline_tests"), std::wstring::npos) << empty[0];
  EXPECT_EQ(split(nullptr), empty);

  SetLastError(0);
  EXPECT_EQ(CommandLineToArgvW(L"a b", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
}

// Any argument vector quoted by the inverse rules splits back unchanged,
// whatever mix of blanks, quotes and backslash runs it holds.
TEST(CommandLineSplitting, QuotedVectorsSplitBackUnchanged) {
  std::mt19937 rng(20261206);
  const wchar_t alphabet[] = {L'a', L'Z', L' ', L'\t',     L'"',         L'\\',
                              L'=', L'/', L'-', L'\u00e9', L'\U0001F600'};
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
  auto random_text = [&](bool program) {
    std::wstring s;
    const std::size_t len = pick(8);
    for (std::size_t i = 0; i < len; ++i) {
      wchar_t c = alphabet[pick(std::size(alphabet) - 1)];
      if (program && c == L'"') c = L'x';  // a program name cannot hold a quote
      // Backslash runs, the hard case, come in bursts.
      if (c == L'\\') s.append(pick(4), L'\\');
      s += c;
    }
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    Args args{random_text(true)};
    const std::size_t count = pick(5);
    for (std::size_t i = 0; i < count; ++i) args.push_back(random_text(false));
    const std::wstring text = krCore::detail::quote_command_line(args);
    ASSERT_EQ(krCore::detail::split_command_line(text), args) << "quoted: " << text;
  }
}

}  // namespace
