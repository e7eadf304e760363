// A file's version as one short text, read with the flat version-resource
// calls: they neither log nor throw, so the logger's own report can use it.
#include "versions/file_version_text.h"

#include <krcore/versions.h>

#include <cstring>
#include <vector>

namespace krCore::detail {

std::wstring file_version_text(const std::wstring& path) noexcept {
  try {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<unsigned char> image(size);
    void* root = nullptr;
    UINT length = 0;
    VS_FIXEDFILEINFO fixed{};
    if (size && GetFileVersionInfoW(path.c_str(), handle, size, image.data()) &&
        VerQueryValueW(image.data(), L"\\", &root, &length) && length >= sizeof fixed) {
      std::memcpy(&fixed, root, sizeof fixed);
      if (fixed.dwSignature == 0xFEEF04BDu)
        return version(static_cast<unsigned short>(fixed.dwFileVersionMS >> 16),
                       static_cast<unsigned short>(fixed.dwFileVersionMS),
                       static_cast<unsigned short>(fixed.dwFileVersionLS >> 16),
                       static_cast<unsigned short>(fixed.dwFileVersionLS))
            .c_str();
    }
    return L"0.0.0.0";
  } catch (...) {
    return L"0.0.0.0";  // only allocation can fail here
  }
}

}  // namespace krCore::detail
