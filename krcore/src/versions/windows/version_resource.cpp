// The version resource of a file on Windows: the system's version calls
// read it (they also resolve the language of the resource and the file's
// redirections), and the system's module table names the file of a loaded
// module.
#include <windows.h>

#include <new>

#include "foundation/errors.h"
#include "versions/image_reader.h"
#include "versions/module_file.h"

namespace krCore::detail {

unsigned long load_version_resource(const std::wstring& path, std::vector<unsigned char>& data,
                                    bool& located) {
  located = false;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) {
    const DWORD error = GetLastError();
    return error ? error : kErrorResourceTypeNotFound;
  }
  located = true;
  try {
    data.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
    const DWORD error = GetLastError();
    return error ? error : kErrorResourceDataNotFound;
  }
  return 0;
}

std::wstring module_file_name(void* module, unsigned long& error) {
  error = 0;
  // A module handle first; failing that, the module the address lies in
  // (without taking a reference, so nothing has to be released).
  HMODULE handle = static_cast<HMODULE>(module);
  wchar_t probe[1];
  if (GetModuleFileNameW(handle, probe, 1) == 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    handle = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<const wchar_t*>(module), &handle)) {
      error = GetLastError();
      return {};
    }
  }
  // The name may be longer than MAX_PATH; grow until it fits.
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(handle, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) {
      error = GetLastError();
      return {};
    }
    if (n < name.size()) {
      name.resize(n);
      return name;
    }
    if (name.size() >= 32768) {
      error = ERROR_INSUFFICIENT_BUFFER;
      return {};
    }
    name.resize(name.size() * 2);
  }
}

}  // namespace krCore::detail
