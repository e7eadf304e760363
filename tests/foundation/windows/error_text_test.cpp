// Error texts on Windows are the system's own: whatever FormatMessageW
// answers for a code, geterrormessage and the exceptions answer too (the
// system's language, Wine's wording under Wine); codes the system has no
// text for take the library's fixed fallbacks.
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// The system's text for `code` from its own tables (or ntdll's), with the
// trailing line ends removed; empty when the system has none.
std::wstring system_text(unsigned long code, HMODULE module = nullptr) {
  wchar_t* raw = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
  const DWORD n = ::FormatMessageW(flags, module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  std::wstring text = n && raw ? std::wstring(raw, n) : std::wstring();
  ::LocalFree(raw);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

}  // namespace

TEST(SystemErrorText, Win32CodesAndTheirHresultsReadAsTheSystemSays) {
  ASSERT_FALSE(system_text(5).empty());  // every system knows "access denied"
  for (unsigned long code : {2ul, 5ul, 87ul, 183ul, 258ul, 1627ul}) {
    const std::wstring text = system_text(code);
    wchar_t hex[16];
    std::swprintf(hex, 16, L"%lx", code);
    const std::wstring expected =
        text.empty() ? L"Error Message: <unavailable>. Error Code: 0x" + std::wstring(hex) : text;
    EXPECT_EQ(krCore::geterrormessage(code), expected) << code;
    // The HRESULT of a Win32 code reads as that code, whether or not the
    // system lists the HRESULT itself.
    if (!text.empty()) {
      EXPECT_EQ(krCore::geterrormessage(0x80070000ul | code), text) << code;
      EXPECT_EQ(std::wstring(w32_exception(nullptr, code).description()), text) << code;
    }
  }
  if (!system_text(1627).empty()) {
    EXPECT_EQ(std::wstring(w32_exception(std::wstring()).description()), system_text(1627));
  }
}

TEST(SystemErrorText, ComHresultsAndFaultCodesComeFromTheSystemWhereItHasThem) {
  const std::wstring unspecified = system_text(0x80004005);
  if (!unspecified.empty()) {
    EXPECT_EQ(krCore::geterrormessage(0x80004005), unspecified);
  }
  // NTSTATUS texts live in ntdll's message table.
  const std::wstring violation = system_text(0xC0000005, ::GetModuleHandleW(L"ntdll.dll"));
  const std::wstring expected =
      violation.empty() ? L"Error Message: <unavailable>. Error Code: 0xc0000005" : violation;
  EXPECT_EQ(krCore::geterrormessage(0xC0000005), expected);
}

TEST(SystemErrorText, CodesWithoutTextTakeTheFallbacks) {
  ASSERT_TRUE(system_text(0xE0011234).empty());
  EXPECT_EQ(krCore::geterrormessage(0xE0011234),
            L"Error Message: <unavailable>. Error Code: 0xe0011234");
  EXPECT_EQ(std::wstring(w32_exception(nullptr, 0xE0011234).description()),
            L"IDispatch error #4660");
  EXPECT_EQ(std::wstring(w32_exception(nullptr, 0xE0010000).description()),
            L"Unknown error 0xE0010000");
}

TEST(SystemErrorText, LookingUpATextKeepsTheThreadsLastError) {
  // The failed look-up of an unknown code sets the system's last error.
  ::SetLastError(1234);
  EXPECT_NE(krCore::geterrormessage(0xE0011234).find(L"<unavailable>"), std::wstring::npos);
  EXPECT_EQ(::GetLastError(), 1234u);
  ::SetLastError(4321);
  EXPECT_FALSE(krCore::geterrormessage(5).empty());
  EXPECT_EQ(::GetLastError(), 4321u);
}
