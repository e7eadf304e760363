// Error texts, the base exceptions and their fallbacks.
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <cerrno>
#include <cstring>

#include "foundation/errors.h"

using krCore::geterrormessage;

TEST(ErrorText, KnownCodesAreTrimmedSystemTextsOthersAFallback) {
  EXPECT_EQ(geterrormessage(5), L"Access is denied.");
  EXPECT_EQ(geterrormessage(0x80070005), L"Access is denied.");  // HRESULT form
  EXPECT_EQ(geterrormessage(0x80004005), L"Unspecified error");
  EXPECT_EQ(krCore::geterrormessage_shortstring(2), "The system cannot find the file specified.");
  // Unknown codes: a fallback with the code in lower-case hex.
  EXPECT_EQ(geterrormessage(0xABC), L"Error Message: <unavailable>. Error Code: 0xabc");
  EXPECT_EQ(geterrormessage(0xE0001234), L"Error Message: <unavailable>. Error Code: 0xe0001234");
}

TEST(ErrorText, EveryErrnoMapsToACodeWithText) {
  // Whatever an errno maps to, the text must exist: either a table entry or
  // the platform's description of an errno without a counterpart.
  for (int err = 1; err < 134; ++err) {
    if (!strerrorname_np(err)) continue;  // numbers Linux leaves unused
    const unsigned long code = krCore::detail::win32_from_errno(err);
    EXPECT_EQ(geterrormessage(code).find(L"<unavailable>"), std::wstring::npos) << err;
  }
  EXPECT_EQ(krCore::detail::win32_from_errno(ENOENT), 2u);
  EXPECT_EQ(krCore::detail::win32_from_errno(EEXIST), 183u);
  EXPECT_EQ(krCore::detail::win32_from_errno(EACCES), 5u);
  EXPECT_EQ(krCore::detail::hresult_from_win32(5), static_cast<long>(static_cast<int>(0x80070005)));
  EXPECT_EQ(krCore::detail::hresult_from_win32(0), 0);
}

TEST(ErrorText, CustomerCodesReadAsErrorNumbersOnlyWhereTheMappingMadeThem) {
  // ENODATA has no Win32 counterpart, so its code carries the error number.
  EXPECT_EQ(geterrormessage(krCore::detail::win32_from_errno(ENODATA)), L"No data available.");
  // An application's own codes: EPERM maps to 5, and 0x1234 is no error number.
  EXPECT_EQ(geterrormessage(0x20000001), L"Error Message: <unavailable>. Error Code: 0x20000001");
  EXPECT_EQ(geterrormessage(0x20001234), L"Error Message: <unavailable>. Error Code: 0x20001234");
  EXPECT_EQ(geterrormessage(0x20000000), L"Error Message: <unavailable>. Error Code: 0x20000000");
}

TEST(ErrorText, TheSignatureChecksAndLogonFailuresHaveTexts) {
  for (unsigned long code : {0x800B0101ul, 0x800B010Aul, 0x800B0110ul, 0x80090006ul, 0x80096004ul,
                             0x80092009ul, 0x8009310Bul, 0x800B0002ul, 0x800B0003ul, 1326ul})
    EXPECT_EQ(geterrormessage(code).find(L"<unavailable>"), std::wstring::npos) << std::hex << code;
  EXPECT_EQ(geterrormessage(0x800B0110), L"The certificate is not valid for the requested usage.");
  EXPECT_EQ(geterrormessage(1326), L"The user name or password is incorrect.");
}

TEST(KrException, CodesMessagesAndCopies) {
  krException plain("plain", 4);
  EXPECT_EQ(plain.code(), 0x800300FDu);
  EXPECT_STREQ(plain.what(), "plain");
  krException wide(5L, std::wstring(L"gr\u00fc\u00dfe"), 4);
  EXPECT_STREQ(wide.what(), "gr\u00fc\u00dfe");  // UTF-8
  EXPECT_EQ(wide.whatwide(), L"gr\u00fc\u00dfe");
  EXPECT_EQ(krException(static_cast<long>(static_cast<int>(0x80004005)), "hr", 4).code(),
            0x80004005u);
  krException copy(wide);
  EXPECT_EQ(copy.code(), 5u);
  copy = plain;
  EXPECT_STREQ(copy.what(), "plain");
  EXPECT_TRUE(call_stack(0xFFFFFFFFu).stack_trace().empty());
}

TEST(W32Exception, DescriptionFallbacks) {
  w32_exception empty{std::wstring()};
  EXPECT_EQ(empty.code, 1627u);
  EXPECT_STREQ(empty.what(), "Function failed during execution.");

  w32_exception given(L"custom text", 5);
  EXPECT_STREQ(given.what(), "custom text");
  EXPECT_STREQ(w32_exception(nullptr, 5).what(), "Access is denied.");

  // No system text: low 16 bits non-zero give the dispatch form, zero the
  // unknown form with the whole code.
  EXPECT_STREQ(w32_exception(0xE0010005ul).what(), "IDispatch error #5");
  EXPECT_STREQ(w32_exception(0xE0010000ul).what(), "Unknown error 0xE0010000");

  const w32_exception original(L"x\u00e9", 7);
  w32_exception copied(original);
  EXPECT_EQ(copied.code, 7u);
  EXPECT_STREQ(copied.what(), "x\xc3\xa9");
  EXPECT_STREQ(copied.description(), L"x\u00e9");
}

TEST(ComError, DescriptionThenStandardMessage) {
  auto text = [](_com_error e) { return krCore::GetComErrorMessage(e); };
  EXPECT_EQ(text(_com_error(0x80004005L, L"from the server")), L"from the server");
  EXPECT_EQ(text(_com_error(0x80004005L)), L"Unspecified error");
  EXPECT_EQ(text(_com_error(0x80040205L)), L"IDispatch error #5");
  EXPECT_EQ(text(_com_error(0x80040200L)), L"Unknown error 0x80040200");
}
