// The two text parsers an administrator's files reach: the value file and
// the .reg format. Random images survive the value file's round trip, and
// randomly damaged texts give a clean refusal, never a crash or a hang
// (run under the sanitizers, this is a small fuzzing pass).
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "../tools/krreg/regfile.h"
#include "registry/value_file.h"

namespace {

namespace reg = krCore::detail::reg;

std::wstring random_text(std::mt19937& rng, size_t max) {
  static const wchar_t pool[] = L"abcXYZ 019\\\"%@./=-,\t\u00e9\u4e2d\U0001F600";
  std::uniform_int_distribution<size_t> len(0, max), pick(0, std::size(pool) - 2);
  std::wstring s(len(rng), L' ');
  for (wchar_t& c : s) c = pool[pick(rng)];
  return s;
}

TEST(ValueFile, RandomImagesOfEveryTypeSurviveTheRoundTrip) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 500; ++round) {
    const DWORD types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ,
                           REG_QWORD};
    const DWORD type = types[round % std::size(types)];
    std::vector<BYTE> image;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      image = reg::string_image(random_text(rng, 40));
    } else if (type == REG_MULTI_SZ) {
      std::vector<std::wstring> list;
      for (int i = 0; i < round % 4; ++i) list.push_back(random_text(rng, 10) + L"x");
      image = reg::multi_string_image(list);
    } else {
      image.resize(type == REG_DWORD ? 4 : type == REG_QWORD ? 8 : rng() % 40);
      for (BYTE& b : image) b = static_cast<BYTE>(rng());
    }
    std::string text;
    ASSERT_EQ(reg::format_value_file(type, image.data(), image.size(), text), 0u);
    DWORD parsed_type = 99;
    std::vector<BYTE> parsed;
    ASSERT_EQ(reg::parse_value_file(text, parsed_type, parsed), 0u) << text;
    EXPECT_EQ(parsed_type, type);
    EXPECT_EQ(parsed, image) << text;
  }
}

// Inputs the fuzzer found: a text value ending in a CR lost it on the way
// back, and texts with a NUL or a lone CR read to images the store writes
// back differently.
TEST(ValueFile, LineEndsAndNulsReadBackAsWritten) {
  const std::vector<BYTE> image = reg::string_image(L"\u21b3\r");
  std::string text;
  ASSERT_EQ(reg::format_value_file(REG_SZ, image.data(), image.size(), text), 0u);
  DWORD type = 0;
  std::vector<BYTE> parsed;
  ASSERT_EQ(reg::parse_value_file(text, type, parsed), 0u);
  EXPECT_EQ(parsed, image);
  // With Windows line ends throughout, the CR LF is only the line end.
  ASSERT_EQ(reg::parse_value_file("REG_SZ\r\ntext\r\n", type, parsed), 0u);
  EXPECT_EQ(parsed, reg::string_image(L"text"));

  for (const std::string_view bad :
       {std::string_view("REG_SZ\n\nE\0\0\n", 10), std::string_view("REG_MULTI_SZ\na\0b\n", 18),
        std::string_view("REG_MULTI_SZ\na\rb\n")})
    EXPECT_EQ(reg::parse_value_file(bad, type, parsed), 13u) << bad;
}

TEST(RegFile, TypeNumbersWiderThan32BitsAreRefused) {
  const std::wstring head = L"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(";
  EXPECT_EQ(krreg::parse_reg_text(head + L"ffffffff):00\n")[0].values[0].type, 0xFFFFFFFFu);
  EXPECT_THROW(krreg::parse_reg_text(head + L"100000001):00\n"), std::runtime_error);
}

TEST(ValueFile, NamesEscapeToSafeFileNamesAndBack) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::wstring name = random_text(rng, 20);
    const std::string file = reg::escape_name(name);
    EXPECT_EQ(file.find('/'), std::string::npos);
    if (!file.empty()) {
      EXPECT_NE(file[0], '.');
      EXPECT_NE(file[0], '@');
    }
    std::wstring back;
    ASSERT_TRUE(reg::unescape_name(file, back));
    EXPECT_EQ(back, name);
  }
  std::wstring ignored;
  EXPECT_FALSE(reg::unescape_name("bad%4", ignored));
  EXPECT_FALSE(reg::unescape_name("bad%zz", ignored));
}

TEST(Parsers, DamagedTextsAreRefusedCleanly) {
  std::mt19937 rng(99);
  const std::string value_seed = "REG_MULTI_SZ\none\ntwo\n";
  const std::wstring reg_seed =
      L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
      L"@=\"x\"\r\n\"d\"=dword:00000001\r\n\"h\"=hex(7):61,00,00,00,\\\r\n  00,00\r\n"
      L"\"q\"=hex(b):01,02,03,04,05,06,07,08\r\n[-HKEY_LOCAL_MACHINE\\B]\r\n\"gone\"=-\r\n";
  EXPECT_NO_THROW(krreg::parse_reg_text(reg_seed.substr(0, reg_seed.find(L"[-"))));
  for (int round = 0; round < 3000; ++round) {
    std::string v = value_seed;
    std::wstring r = reg_seed;
    for (int m = 0; m < 1 + round % 5; ++m) {
      v[rng() % v.size()] = static_cast<char>(rng());
      const size_t at = rng() % r.size();
      if (rng() % 2)
        r[at] = static_cast<wchar_t>(L" \"\\[]=:,-@\r\nx0"[rng() % 14]);
      else
        r.erase(at, 1 + rng() % 3);
    }
    DWORD type = 0;
    std::vector<BYTE> image;
    const DWORD rc = reg::parse_value_file(v, type, image);
    EXPECT_TRUE(rc == 0 || rc == 13);
    try {
      krreg::parse_reg_text(r);
    } catch (const std::runtime_error&) {
    }
  }
}

}  // namespace
