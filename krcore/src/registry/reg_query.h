// Internal: the library's reader of settings keys, over the registry calls.
//
// It opens one key and reads typed values from it with defaults, so that a
// caller states what it wants and what a missing value means. Every failure
// is thrown as w32_exception, except where a function returns a code.
#pragma once

#include <krcore/foundation.h>
#include <krcore/registry.h>

#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore {

// One open key. Not thread-safe: one user at a time. The key is closed by
// Close() or the destructor.
class KRCORE_INTERNAL RegQuery {
 public:
  RegQuery() = default;
  ~RegQuery();
  RegQuery(const RegQuery&) = delete;
  RegQuery& operator=(const RegQuery&) = delete;

  // Opens `subkey` of `root` for reading, creating it when it is missing;
  // throws w32_exception with the system's code on failure.
  void Open(HKEY root, const std::wstring& subkey);
  // Opens an existing key (no creation); returns 0 or the system's code.
  LSTATUS TryOpen(HKEY root, const std::wstring& subkey);
  void Close();
  bool IsOpen() const { return _key != nullptr; }
  // The open key; throws (1627) when none is open.
  HKEY Key() const;

  // The DWORD value `name`, or `defaultValue` when it cannot be read (it is
  // missing, or it does not fit 4 bytes). A value that fits but is not a
  // DWORD throws 1627.
  DWORD GetDWORD(const wchar_t* name, DWORD defaultValue) const;
  // The DWORD value `name` into `value`; returns 0 or the query's code (2
  // missing, 234 longer than 4 bytes, 13 or 223 when its file was refused),
  // so that a caller can tell a missing value from a broken one. A value
  // that fits but is not a DWORD throws 1627 as GetDWORD does.
  LSTATUS QueryDWORD(const wchar_t* name, DWORD& value) const;
  // GetDWORD with default 0, tested for non-zero.
  bool GetFlag(const wchar_t* name) const;
  // Appends the strings of the value `name` to `out`: a text value gives
  // its one string, a multi-string its strings up to the first empty one.
  // A missing value (or any other query failure) appends nothing and is
  // returned as the code; another type throws 1627.
  LSTATUS GetMultiString(const wchar_t* name, std::vector<std::wstring>& out) const;

 private:
  void require_open() const;

  HKEY _key = nullptr;
};

}  // namespace krCore
