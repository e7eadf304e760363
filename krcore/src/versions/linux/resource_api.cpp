// The version-resource calls: the size and bytes of a file's version
// resource, value look-ups inside it, and language display names.
#include <krcore/foundation.h>
#include <krcore/versions.h>

#include <unicode/uloc.h>

#include <cstring>
#include <string>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "versions/image_reader.h"
#include "versions/version_tree.h"

using namespace krCore::detail;

extern "C" DWORD GetFileVersionInfoSizeW(const wchar_t* lptstrFilename, DWORD* lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  if (!lptstrFilename) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  try {
    std::uint32_t size = 0;
    if (unsigned long rc = read_version_resource(lptstrFilename, size, nullptr, 0)) {
      SetLastError(rc);
      return 0;
    }
    return size;
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
}

extern "C" BOOL GetFileVersionInfoW(const wchar_t* lptstrFilename, DWORD, DWORD dwLen,
                                    void* lpData) {
  if (!lptstrFilename || !lpData) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  try {
    std::uint32_t size = 0;
    if (unsigned long rc = read_version_resource(lptstrFilename, size, lpData, dwLen)) {
      SetLastError(rc);
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
}

extern "C" BOOL VerQueryValueW(const void* pBlock, const wchar_t* lpSubBlock, void** lplpBuffer,
                               UINT* puLen) {
  if (!pBlock || !lpSubBlock || !lplpBuffer) return 0;
  const auto* image = static_cast<const unsigned char*>(pBlock);
  // The root block's own length bounds the walk.
  const std::size_t size = static_cast<std::size_t>(image[0] | image[1] << 8);
  version_value value;
  if (!find_version_value(image, size, lpSubBlock, value)) return 0;
  *lplpBuffer = const_cast<unsigned char*>(value.data);
  if (puLen) *puLen = value.length;
  return 1;
}

extern "C" DWORD VerLanguageNameW(DWORD wLang, wchar_t* szLang, DWORD cchLang) {
  std::wstring name;
  if ((wLang & 0xFFFF) == 0) {
    name = L"Language Neutral";
  } else {
    char locale[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLocaleForLCID(wLang & 0xFFFF, locale, sizeof locale, &status);
    if (U_FAILURE(status) || !*locale) return 0;
    UChar display[256];
    status = U_ZERO_ERROR;
    const int32_t n = uloc_getDisplayName(locale, "en", display, 256, &status);
    if (U_FAILURE(status) || n <= 0) return 0;
    name =
        wide_from_utf16(std::u16string_view(display, static_cast<std::size_t>(std::min(n, 255))));
  }
  if (szLang && cchLang > 0) {
    const std::size_t copied = std::min<std::size_t>(name.size(), cchLang - 1);
    std::wmemcpy(szLang, name.c_str(), copied);
    szLang[copied] = L'\0';
  }
  return static_cast<DWORD>(name.size());
}
