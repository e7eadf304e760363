// The Win32 registry calls over the store's platform half: the handle
// table, the predefined keys, sub-key paths, and the buffer rules that make
// sizes and codes come out as they do on Windows.
#include <krcore/registry.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include <krcore/foundation.h>

#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "foundation/waitable.h"
#include "registry/store.h"
#include "registry/value_file.h"

namespace krCore::detail::reg {
namespace {

// Open handles. A handle is a number that never repeats within a process,
// so a stale handle is refused instead of reaching another key.
class handle_table {
 public:
  HKEY add(key_ptr k) {
    std::lock_guard<library_mutex> lock(_mutex);
    const std::uintptr_t id = _next;
    _next += 4;
    _keys.emplace(id, std::move(k));
    return reinterpret_cast<HKEY>(id);
  }
  key_ptr find(HKEY h) {
    std::lock_guard<library_mutex> lock(_mutex);
    const auto it = _keys.find(reinterpret_cast<std::uintptr_t>(h));
    return it == _keys.end() ? nullptr : it->second;
  }
  key_ptr remove(HKEY h) {
    std::lock_guard<library_mutex> lock(_mutex);
    const auto it = _keys.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == _keys.end()) return nullptr;
    key_ptr k = std::move(it->second);
    _keys.erase(it);
    return k;
  }

 private:
  library_mutex _mutex;
  std::uintptr_t _next = 0x1000;
  std::unordered_map<std::uintptr_t, key_ptr> _keys;
};

// Never destroyed: handles may be closed from static destructors.
handle_table& handles() {
  static handle_table* table = new handle_table;
  return *table;
}

const char* hive_of(HKEY h) {
  if (h == HKEY_LOCAL_MACHINE) return "HKLM";
  if (h == HKEY_CURRENT_USER) return "HKCU";
  if (h == HKEY_USERS) return "HKU";
  if (h == HKEY_CLASSES_ROOT) return "HKCR";
  return nullptr;
}

// The key behind a handle; a predefined key is opened afresh, so a change
// of the root between calls is followed.
DWORD resolve(HKEY h, bool create_hive, key_ptr& out) {
  if (const char* hive = hive_of(h)) return open_hive(hive, create_hive, out);
  out = handles().find(h);
  return out ? kErrorSuccess : kErrorInvalidHandle;
}

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x10000u |
                                0x40000u | 0x80000u | 0x40000000u | 0x10000000u;

std::vector<std::wstring> split_path(const wchar_t* subkey) {
  std::vector<std::wstring> parts;
  if (!subkey) return parts;
  std::wstring part;
  for (const wchar_t* p = subkey; *p; ++p) {
    if (*p == L'\\') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part.push_back(*p);
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

std::wstring name_of(const wchar_t* name) { return name ? std::wstring(name) : std::wstring(); }

// A key name longer than Windows allows is refused with 87, as there.
bool key_names_fit(const std::vector<std::wstring>& path) {
  for (const std::wstring& part : path)
    if (utf16_units(part) > kMaxKeyNameUnits) return false;
  return true;
}

LSTATUS open_or_create(HKEY h, const wchar_t* subkey, bool create, REGSAM desired, PHKEY result,
                       DWORD* disposition) {
  if (!result) return kErrorInvalidParameter;
  *result = nullptr;
  key_ptr parent;
  if (DWORD rc = resolve(h, create, parent)) return static_cast<LSTATUS>(rc);
  const std::vector<std::wstring> path = split_path(subkey);
  if (!key_names_fit(path)) return kErrorInvalidParameter;
  key_ptr k;
  bool created = false;
  const DWORD rc = open_key(*parent, path, create, (desired & kWriteRights) != 0, k, &created);
  if (rc) return static_cast<LSTATUS>(rc);
  *result = handles().add(std::move(k));
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return 0;
}

// Copies `image` out under the RegQueryValueExW rules.
LSTATUS copy_out(const std::vector<BYTE>& image, BYTE* data, DWORD* size) {
  const auto needed = static_cast<DWORD>(image.size());
  if (!data) {
    if (size) *size = needed;
    return 0;
  }
  if (*size < needed) {
    *size = needed;
    return static_cast<LSTATUS>(kErrorMoreData);
  }
  if (needed) std::memcpy(data, image.data(), needed);
  *size = needed;
  return 0;
}

// Copies a name out under the RegEnum*W rules.
LSTATUS copy_name(const std::wstring& name, wchar_t* out, DWORD* size) {
  if (!out || !size) return kErrorInvalidParameter;
  if (*size <= name.size()) {
    return static_cast<LSTATUS>(kErrorMoreData);
  }
  std::wmemcpy(out, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return 0;
}

}  // namespace
}  // namespace krCore::detail::reg

using namespace krCore::detail;
using namespace krCore::detail::reg;

extern "C" {

LSTATUS RegCreateKeyExW(HKEY key, const wchar_t* subkey, DWORD, wchar_t*, DWORD, REGSAM desired,
                        const LPSECURITY_ATTRIBUTES, PHKEY result, DWORD* disposition) {
  return open_or_create(key, subkey, true, desired, result, disposition);
}

LSTATUS RegOpenKeyExW(HKEY key, const wchar_t* subkey, DWORD, REGSAM desired, PHKEY result) {
  return open_or_create(key, subkey, false, desired, result, nullptr);
}

LSTATUS RegCloseKey(HKEY key) {
  if (hive_of(key)) return 0;
  const key_ptr k = handles().remove(key);
  if (!k) return static_cast<LSTATUS>(kErrorInvalidHandle);
  cancel_notify(*k);
  return 0;
}

LSTATUS RegQueryValueExW(HKEY key, const wchar_t* name, DWORD*, DWORD* type, BYTE* data,
                         DWORD* size) {
  if (data && !size) return kErrorInvalidParameter;
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  DWORD stored = 0;
  std::vector<BYTE> image;
  if (DWORD rc = read_value(*k, name_of(name), stored, image)) return static_cast<LSTATUS>(rc);
  if (type) *type = stored;
  return copy_out(image, data, size);
}

LSTATUS RegSetValueExW(HKEY key, const wchar_t* name, DWORD, DWORD type, const BYTE* data,
                       DWORD size) {
  if (name && utf16_units(name) > kMaxValueNameUnits) return kErrorInvalidParameter;
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  return static_cast<LSTATUS>(write_value(*k, name_of(name), type, data, size));
}

LSTATUS RegDeleteValueW(HKEY key, const wchar_t* name) {
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  return static_cast<LSTATUS>(delete_value(*k, name_of(name)));
}

LSTATUS RegDeleteKeyW(HKEY key, const wchar_t* subkey) {
  const std::vector<std::wstring> path = split_path(subkey);
  if (path.empty()) return kErrorInvalidParameter;
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  return static_cast<LSTATUS>(delete_key(*k, path, false));
}

LSTATUS RegDeleteTreeW(HKEY key, const wchar_t* subkey) {
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  const std::vector<std::wstring> path = split_path(subkey);
  return static_cast<LSTATUS>(path.empty() ? clear_key(*k) : delete_key(*k, path, true));
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, wchar_t* name, DWORD* name_size, DWORD*,
                      wchar_t* key_class, DWORD*, FILETIME* last_write) {
  if (key_class) return kErrorInvalidParameter;
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  std::vector<std::wstring> names;
  if (DWORD rc = list_subkeys(*k, names)) return static_cast<LSTATUS>(rc);
  if (index >= names.size()) return static_cast<LSTATUS>(kErrorNoMoreItems);
  if (LSTATUS rc = copy_name(names[index], name, name_size)) return rc;
  if (last_write) {
    *last_write = FILETIME{0, 0};
    subkey_time(*k, names[index], *last_write);
  }
  return 0;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, wchar_t* name, DWORD* name_size, DWORD*,
                      DWORD* type, BYTE* data, DWORD* size) {
  if (data && !size) return kErrorInvalidParameter;
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  std::vector<std::wstring> names;
  if (DWORD rc = list_values(*k, names)) return static_cast<LSTATUS>(rc);
  if (index >= names.size()) return static_cast<LSTATUS>(kErrorNoMoreItems);
  if (LSTATUS rc = copy_name(names[index], name, name_size)) return rc;
  if (!type && !data && !size) return 0;
  DWORD stored = 0;
  std::vector<BYTE> image;
  if (DWORD rc = read_value(*k, names[index], stored, image)) return static_cast<LSTATUS>(rc);
  if (type) *type = stored;
  return copy_out(image, data, size);
}

LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watch_subtree, DWORD filter, HANDLE event,
                                BOOL asynchronous) {
  if ((filter & 0xFu) == 0) return kErrorInvalidParameter;
  if (asynchronous && !event) return kErrorInvalidParameter;
  if (hive_of(key)) return kErrorInvalidHandle;  // open a handle to watch a root
  key_ptr k;
  if (DWORD rc = resolve(key, false, k)) return static_cast<LSTATUS>(rc);
  if (asynchronous) return static_cast<LSTATUS>(notify(*k, watch_subtree != 0, filter, event));
  // Synchronous: a private event, waited for here.
  HANDLE own = create_event(true, false, std::wstring());
  if (!own) return static_cast<LSTATUS>(GetLastError());
  DWORD rc = notify(*k, watch_subtree != 0, filter, own);
  if (rc == 0) WaitForSingleObject(own, INFINITE);
  CloseHandle(own);
  return static_cast<LSTATUS>(rc);
}

}  // extern "C"
