// Four-part version numbers: what texts parse to, how they print and how
// they order.
#include <gtest/gtest.h>
#include <krcore/versions.h>

#include <string>

using krCore::version;

namespace {

TEST(Version, ParsesTexts) {
  const struct {
    const wchar_t* text;
    const wchar_t* parsed;
  } cases[] = {
      {L"1.2.3.4", L"1.2.3.4"},
      {L"1.2", L"1.2.0.0"},
      {L"", L"0.0.0.0"},
      {L"1..3", L"1.0.3.0"},
      {L"1.2.3.4.5", L"1.2.3.4"},
      {L"7,0,1,15", L"7.0.1.15"},
      {L"1.2,3", L"1.2.3.0"},
      {L"1,2.3", L"1.3.0.0"},
      {L"a1.2", L"0.2.0.0"},
      {L"70000.1", L"4464.1.0.0"},
      {L"-1.2", L"65535.2.0.0"},
      {L" 5x.+6", L"5.6.0.0"},
      // Beyond an int a token stops at INT_MAX or INT_MIN before the cut.
      {L"4294967297.99999999999.-99999999999.2147483648", L"65535.65535.0.65535"},
      {L"-2147483648.-2147483649.2147483647.65536", L"0.0.65535.0"},
      // Decimal digits of other scripts, and Unicode spaces before a number.
      {L"\u0661.\u0662", L"1.2.0.0"},
      {L"\uFF15.7", L"5.7.0.0"},
      {L"\u0E55\u0966\u0AE7", L"501.0.0.0"},
      {L"\u3000 \u00A09.\u200B9", L"9.0.0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(version(c.text).c_str(), c.parsed) << c.text;
}

TEST(Version, PrintsAndCopiesParts) {
  EXPECT_EQ(version(10, 0, 65535, 1).c_str(), L"10.0.65535.1");
  EXPECT_EQ(version().c_str(), L"0.0.0.0");
  version a(L"3.4");
  const version b(a);
  a = version(1, 2, 3, 4);
  EXPECT_EQ(b.c_str(), L"3.4.0.0");
  EXPECT_EQ(a.major(), 1u);
  EXPECT_EQ(a.revision(), 4u);
}

TEST(Version, OrdersNumericallyPartByPart) {
  EXPECT_LT(version(L"1.2.3.4"), version(L"1.2.10.0"));
  EXPECT_GT(version(L"2.0.0.0"), version(L"1.9.9.9"));
  EXPECT_LT(version(1, 2, 3, 4), version(1, 2, 3, 65535));
  const version x(L"1.2.3.4"), y(1, 2, 3, 4);
  EXPECT_TRUE(x == y && x <= y && x >= y);
  EXPECT_FALSE(x < y || x > y || x != y);
}

}  // namespace
