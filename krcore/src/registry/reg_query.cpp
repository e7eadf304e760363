// The settings-key reader: defaults for what is missing, refusals (1627)
// for values of the wrong type, so that a misconfigured key is reported
// instead of being read as something it is not.
#include "registry/reg_query.h"

#include "foundation/errors.h"
#include "registry/value_file.h"

namespace krCore {
namespace {

// The multi-string buffer starts at this many UTF-16 characters and grows
// to the size the store reports.
constexpr DWORD kInitialChars = 261;

}  // namespace

RegQuery::~RegQuery() { Close(); }

void RegQuery::Open(HKEY root, const std::wstring& subkey) {
  Close();
  HKEY key = nullptr;
  const LSTATUS rc = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ, nullptr, &key, nullptr);
  if (rc != 0) throw w32_exception(static_cast<unsigned long>(rc));
  _key = key;
}

LSTATUS RegQuery::TryOpen(HKEY root, const std::wstring& subkey) {
  Close();
  HKEY key = nullptr;
  const LSTATUS rc = RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key);
  if (rc == 0) _key = key;
  return rc;
}

void RegQuery::Close() {
  if (_key) RegCloseKey(_key);
  _key = nullptr;
}

void RegQuery::require_open() const {
  if (!_key)
    throw w32_exception(
        L"RegQuery: A registry key must be opened before querying/editing values and subkeys",
        detail::kErrorFunctionFailed);
}

HKEY RegQuery::Key() const {
  require_open();
  return _key;
}

DWORD RegQuery::GetDWORD(const wchar_t* name, DWORD defaultValue) const {
  DWORD value = 0;
  return QueryDWORD(name, value) == 0 ? value : defaultValue;
}

LSTATUS RegQuery::QueryDWORD(const wchar_t* name, DWORD& value) const {
  require_open();
  DWORD read = 0, type = 0, size = sizeof read;
  const LSTATUS rc =
      RegQueryValueExW(_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
  if (rc != 0) return rc;
  if (type != REG_DWORD)
    throw w32_exception(
        L"RegQuery::GetDWORD - Attempt to retreive DWORD data from a non-DWORD registry value",
        detail::kErrorFunctionFailed);
  value = read;
  return 0;
}

bool RegQuery::GetFlag(const wchar_t* name) const { return GetDWORD(name, 0) != 0; }

LSTATUS RegQuery::GetMultiString(const wchar_t* name, std::vector<std::wstring>& out) const {
  require_open();
  std::vector<BYTE> buffer(std::size_t{kInitialChars} * 2);
  DWORD type = 0, size = static_cast<DWORD>(buffer.size());
  LSTATUS rc = RegQueryValueExW(_key, name, nullptr, &type, buffer.data(), &size);
  while (rc == static_cast<LSTATUS>(detail::kErrorMoreData)) {
    buffer.resize(size);
    rc = RegQueryValueExW(_key, name, nullptr, &type, buffer.data(), &size);
  }
  if (rc != 0) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
    throw w32_exception(L"RegQuery::GetMultiString - Unsupported Registry Value Type",
                        detail::kErrorFunctionFailed);
  std::vector<std::wstring> strings = detail::reg::strings_of_image(buffer.data(), size);
  if (type != REG_MULTI_SZ && strings.size() > 1) strings.resize(1);
  if (type != REG_MULTI_SZ && strings.empty()) strings.emplace_back();
  for (std::wstring& s : strings) out.push_back(std::move(s));
  return 0;
}

}  // namespace krCore
