// The typed value helpers as a program outside the library uses them,
// through the shared library alone: strings, numbers and lists come back as
// they were written, whatever the size of wchar_t, and a value of another
// type is refused without touching the output.
#include <gtest/gtest.h>
#include <krcore/registry.h>

#include <cstdint>
#include <string>
#include <vector>

#include "registry_support.h"

namespace {

// The settings store's private root, and a key in it.
class TypedValuesTest : public regtest::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    key = create(L"SOFTWARE\\Typed");
  }
  void TearDown() override {
    RegCloseKey(key);
    RegistryTest::TearDown();
  }
  HKEY key = nullptr;
};

TEST_F(TypedValuesTest, EachTypeComesBackAsWritten) {
  const std::wstring text = L"caf\u00e9 \U0001F600 end";
  ASSERT_EQ(krCore::reg_write_string(key, L"S", text), 0);
  ASSERT_EQ(krCore::reg_write_string(key, L"E", L"%TEMP%\\x", REG_EXPAND_SZ), 0);
  ASSERT_EQ(krCore::reg_write_dword(key, L"D", 0xDEADBEEF), 0);
  ASSERT_EQ(krCore::reg_write_qword(key, L"Q", 0x0102030405060708ull), 0);
  ASSERT_EQ(krCore::reg_write_multi_string(key, L"M", {L"one", L"\u00e9t\u00e9"}), 0);
  ASSERT_EQ(krCore::reg_write_dword(key, nullptr, 7), 0);

  std::wstring s;
  ASSERT_EQ(krCore::reg_read_string(key, L"s", s), 0);
  EXPECT_EQ(s, text);
  ASSERT_EQ(krCore::reg_read_string(key, L"E", s), 0);
  EXPECT_EQ(s, L"%TEMP%\\x");
  DWORD d = 0;
  ASSERT_EQ(krCore::reg_read_dword(key, L"D", d), 0);
  EXPECT_EQ(d, 0xDEADBEEFu);
  ASSERT_EQ(krCore::reg_read_dword(key, L"", d), 0);
  EXPECT_EQ(d, 7u);
  std::uint64_t q = 0;
  ASSERT_EQ(krCore::reg_read_qword(key, L"Q", q), 0);
  EXPECT_EQ(q, 0x0102030405060708ull);
  std::vector<std::wstring> list;
  ASSERT_EQ(krCore::reg_read_multi_string(key, L"M", list), 0);
  EXPECT_EQ(list, (std::vector<std::wstring>{L"one", L"\u00e9t\u00e9"}));
  ASSERT_EQ(krCore::reg_read_multi_string(key, L"S", list), 0);
  EXPECT_EQ(list, std::vector<std::wstring>{text});

  // What a Windows program writes, a string as UTF-16LE with its
  // terminator, reads as the same text.
  const BYTE utf16[] = {'h', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0};
  ASSERT_EQ(RegSetValueExW(key, L"Raw", 0, REG_SZ, utf16, sizeof utf16), 0);
  ASSERT_EQ(krCore::reg_read_string(key, L"Raw", s), 0);
  EXPECT_EQ(s, L"h\u00e9\U0001F600");
}

TEST_F(TypedValuesTest, AnotherTypeOrAMissingValueLeavesTheOutputAlone) {
  ASSERT_EQ(krCore::reg_write_string(key, L"S", L"text"), 0);
  ASSERT_EQ(krCore::reg_write_dword(key, L"D", 1), 0);
  DWORD d = 42;
  EXPECT_EQ(krCore::reg_read_dword(key, L"S", d), 1630);
  std::uint64_t q = 42;
  EXPECT_EQ(krCore::reg_read_qword(key, L"D", q), 1630);
  std::wstring s = L"kept";
  EXPECT_EQ(krCore::reg_read_string(key, L"D", s), 1630);
  EXPECT_EQ(krCore::reg_read_string(key, L"Missing", s), 2);
  std::vector<std::wstring> list{L"kept"};
  EXPECT_EQ(krCore::reg_read_multi_string(key, L"D", list), 1630);
  EXPECT_EQ(d, 42u);
  EXPECT_EQ(q, 42u);
  EXPECT_EQ(s, L"kept");
  EXPECT_EQ(list, std::vector<std::wstring>{L"kept"});
  // A list cannot hold an empty string, nor a string be stored as a number.
  EXPECT_EQ(krCore::reg_write_multi_string(key, L"M", {L"a", L"", L"b"}), 87);
  EXPECT_EQ(krCore::reg_write_string(key, L"S", L"x", REG_DWORD), 87);
}

}  // namespace
