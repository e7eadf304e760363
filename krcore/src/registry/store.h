// Internal: the platform half of the settings store, behind the Win32 calls
// of registry.h. The portable half (registry.cpp) keeps the handle table,
// checks arguments and applies the buffer-size rules; the platform half
// keeps keys, values and change notification. Every function returns a
// Win32 code and is thread-safe.
#pragma once

#include <krcore/wintypes.h>

#include <memory>
#include <string>
#include <vector>

namespace krCore::detail::reg {

// An open key of the platform half.
class key {
 public:
  virtual ~key() = default;
};
using key_ptr = std::shared_ptr<key>;

// The root folder of a predefined key ("HKLM", ...). `create` makes the
// folders that are missing.
DWORD open_hive(const char* hive, bool create, key_ptr& out);

// Opens the sub-key `path` (components, each non-empty) of `parent`,
// creating the missing ones when `create` is set; `created` (may be null)
// tells whether the last one was made. `write` asks for write access.
DWORD open_key(const key& parent, const std::vector<std::wstring>& path, bool create, bool write,
               key_ptr& out, bool* created);

// Reads a value. A value file that is not a regular file, is larger than
// kMaxValueFileBytes or does not parse is refused (13, or 223 for its size)
// without blocking or reading past the bound; the refusal also sends one
// line naming the file and the reason to the debugger output.
DWORD read_value(const key& k, const std::wstring& name, DWORD& type, std::vector<BYTE>& image);
// The line of this thread's last read_value when that refused the file
// (empty otherwise), so that a tool can tell an administrator which file
// is wrong and why.
std::string last_refusal();
DWORD write_value(const key& k, const std::wstring& name, DWORD type, const BYTE* data,
                  size_t size);
DWORD delete_value(const key& k, const std::wstring& name);

// Removes the sub-key `path` of `k`; without `tree`, 5 when it has
// sub-keys of its own.
DWORD delete_key(const key& k, const std::vector<std::wstring>& path, bool tree);
// Removes every value and sub-key of `k`.
DWORD clear_key(const key& k);

// The names of the sub-keys / values, in case-insensitive order.
DWORD list_subkeys(const key& k, std::vector<std::wstring>& names);
DWORD list_values(const key& k, std::vector<std::wstring>& names);
// The last modification of the sub-key `name` of `k` (FILETIME units).
DWORD subkey_time(const key& k, const std::wstring& name, FILETIME& time);

// Arms one change request (see RegNotifyChangeKeyValue).
DWORD notify(key& k, bool subtree, DWORD filter, HANDLE event);
// Signals the armed request, if any: the key's handle is being closed.
void cancel_notify(key& k);

}  // namespace krCore::detail::reg
