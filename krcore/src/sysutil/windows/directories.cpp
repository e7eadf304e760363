// The Windows half of the directory services: the system's temporary path,
// directory creation, the common application-data folder and environment
// lookups. Paths are the system's own UTF-16 text, so they pass through
// unchanged.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include "foundation/errors.h"
#include "sysutil/directories.h"

namespace krCore::detail {
namespace {

// Asks a call that fills a buffer of wide characters and returns the length
// it needs when the buffer is too small (GetTempPathW,
// GetEnvironmentVariableW) until the text fits. 0 from the call is a
// failure whose code is left in GetLastError.
template <typename Call>
std::wstring grown_text(Call call, std::size_t first, unsigned long& error) {
  std::wstring text(first, L'\0');
  for (;;) {
    SetLastError(0);
    const DWORD n = call(text.data(), static_cast<DWORD>(text.size()));
    if (n == 0) {
      error = GetLastError();
      return {};
    }
    if (n < text.size()) {
      text.resize(n);
      error = 0;
      return text;
    }
    text.resize(n);  // n counts the terminating NUL here
  }
}

// The access list of a private folder: the calling user and the system
// only, inherited by what is created inside, nothing from the parent. The
// user is named by the SID of the process token, so the list means the same
// whoever ends up owning the folder. 0 or a Win32 code.
unsigned long private_descriptor(PSECURITY_DESCRIPTOR& descriptor) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD length = 0;
  const BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length);
  const DWORD error = got ? 0 : GetLastError();
  CloseHandle(token);
  if (!got) return error;
  wchar_t* sid = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid))
    return GetLastError();
  const std::wstring sddl =
      std::wstring(L"D:P(A;OICI;FA;;;") + sid + L")(A;OICI;FA;;;SY)";
  LocalFree(sid);
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)
             ? 0
             : GetLastError();
}

}  // namespace

boost::filesystem::path path_from_wide(const std::wstring& text) {
  return boost::filesystem::path(text);
}

std::wstring wide_from_path(const boost::filesystem::path& path) { return path.native(); }

std::wstring temp_directory(unsigned long& error) {
  return grown_text([](wchar_t* buf, DWORD size) { return GetTempPathW(size, buf); }, MAX_PATH + 1,
                    error);
}

unsigned long create_one_directory(const std::wstring& path, bool private_dir) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (private_dir) {
    if (const unsigned long error = private_descriptor(descriptor)) return error;
    attributes.lpSecurityDescriptor = descriptor;
  }
  const BOOL made = CreateDirectoryW(path.c_str(), private_dir ? &attributes : nullptr);
  const DWORD error = made ? 0 : GetLastError();
  if (descriptor) LocalFree(descriptor);
  return error;
}

long common_appdata_directory(std::wstring& path) {
  PWSTR folder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder);
  if (FAILED(hr)) {
    CoTaskMemFree(folder);
    return hr;
  }
  std::wstring found(folder);
  CoTaskMemFree(folder);
  const DWORD attributes = GetFileAttributesW(found.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  path = std::move(found);
  return 0;
}

std::wstring default_appdata_directory() {
  unsigned long error = 0;
  std::wstring drive;
  if (environment_value(L"SystemDrive", drive, error) == 0) drive = L"C:";
  return drive + L"\\ProgramData";
}

std::size_t environment_value(const wchar_t* name, std::wstring& value, unsigned long& error) {
  value = grown_text(
      [name](wchar_t* buf, DWORD size) { return GetEnvironmentVariableW(name, buf, size); }, 260,
      error);
  // An empty value (0 with no error) is a set variable all the same.
  return value.size();
}

}  // namespace krCore::detail
