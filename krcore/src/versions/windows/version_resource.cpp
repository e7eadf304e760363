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
    // The system's code as it is: 1813 for resources without a version,
    // 1812 for an image without any resource section (as most a MinGW
    // linker makes) and, from some versions of the call, for anything
    // without a version resource.
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

namespace {

// ERROR_MOD_NOT_FOUND: the value names no loaded module.
constexpr unsigned long kErrorModNotFound = 126;

// The file name of a module handle; the name may be longer than MAX_PATH,
// so the buffer grows until it fits.
std::wstring handle_file_name(HMODULE handle, unsigned long& error) {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    SetLastError(0);
    const DWORD n = GetModuleFileNameW(handle, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) {
      error = GetLastError();
      if (error == 0) error = kErrorModNotFound;
      return {};
    }
    if (n < name.size()) {
      error = 0;
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

}  // namespace

std::wstring module_file_name(void* module, unsigned long& error) {
  std::wstring name = handle_file_name(static_cast<HMODULE>(module), error);
  if (error == 0) return name;
  // Not a handle: the module the address lies in (looked up without taking
  // a reference, so nothing has to be released).
  HMODULE containing = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const wchar_t*>(module), &containing) ||
      !containing) {
    error = kErrorModNotFound;
    return {};
  }
  return handle_file_name(containing, error);
}

}  // namespace krCore::detail
