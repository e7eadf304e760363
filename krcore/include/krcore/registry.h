// The machine-wide settings store: typed values in a tree of keys under a
// few predefined roots, with change notification, through the Win32 registry
// calls (global namespace, with their names, arguments and result codes).
//
// On Linux the store is a folder tree that an administrator can read and
// edit with ordinary tools. The root is /etc/krcore/registry, or the folder
// the environment variable KRCORE_REGISTRY_ROOT names (read at every open of
// a predefined key). Each predefined key is a folder under the root: HKLM,
// HKCU, HKU, HKCR. A key is a folder; a value is a file in its key's folder
// named "@" followed by the value's name ("@" alone is the default value).
// Names are matched without regard to case and stored with the case they
// were created with; characters a file name cannot hold ('/', '%', control
// characters, a leading '.' or '@') are written as %XX (UTF-8 bytes). A name
// too long for one file name (key names reach 255 characters, value names
// 16,383, as on Windows; longer ones are refused with 87) is stored under
// "%%" and the SHA-256 of its upper-case form, and keeps its real name
// inside: a value file's first line is then "@" and the escaped name, a
// key's folder holds it in the file ".name". Files and folders whose names
// start with '.' are the store's own (temporaries, kept names, deletions
// under way) and are never shown as keys or values. A link is never a key
// or a value, and is never followed.
//
// A value file is text: its type on the first line (REG_NONE, REG_SZ,
// REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD), then the
// data in UTF-8: a number in decimal or 0x-hex; the string (one final line
// break is not part of it); one string per line for REG_MULTI_SZ; hex bytes
// separated by white space or commas for REG_BINARY and REG_NONE. The data
// a caller reads and writes is the Windows byte image of the value: strings
// are UTF-16LE with their terminators (a REG_MULTI_SZ ends with an extra
// one), numbers little-endian. Strings are stored up to their first null
// character, and a string of a REG_MULTI_SZ cannot hold a line break.
//
// Writes are atomic: a temporary file is written, flushed and renamed over
// the value, so no reader ever sees a half-written value. An administrator's
// editor that rewrites the file in place (instead of writing a new one and
// renaming it) may be seen half-done. Writers of one key are serialised by
// a lock on its folder, across processes.
//
// Permissions are the file system's: with the root writable by its owner
// only, every account reads the settings and only that owner changes them.
// Opening or creating a key with write access where the folder is not
// writable fails with 5; reading needs read access only.
//
// Results are Win32 codes: 0 success, 2 missing key or value, 5 denied,
// 6 invalid handle, 13 a value file that cannot be read as a value, 87 bad
// argument, 234 buffer too small, 259 no more items, 1018 the key was
// deleted while open. Every call is thread-safe; a handle may be used by
// several threads at once. Handles stay valid until RegCloseKey.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#include <cstdint>
#include <string>
#include <vector>

// On Windows the registry calls, types and constants are the system's own
// (from <windows.h>, through wintypes.h); only the Linux store declares them.
#if !defined(_WIN32)

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef std::int32_t LSTATUS;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// The predefined keys, with their Windows values.
#define KRCORE_PREDEFINED_HKEY(v) \
  (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(v))))
#define HKEY_CLASSES_ROOT KRCORE_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER KRCORE_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE KRCORE_PREDEFINED_HKEY(0x80000002u)
#define HKEY_USERS KRCORE_PREDEFINED_HKEY(0x80000003u)

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Access rights. Only the write rights are checked (when the key is opened).
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

// Creation options and dispositions. Every key is non-volatile here.
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE 0x1u
#define REG_CREATED_NEW_KEY 0x1u
#define REG_OPENED_EXISTING_KEY 0x2u

// Change-notification filter bits.
#define REG_NOTIFY_CHANGE_NAME 0x1u        // a sub-key created, deleted or renamed
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x2u  // a file's attributes
#define REG_NOTIFY_CHANGE_LAST_SET 0x4u    // a value written or deleted
#define REG_NOTIFY_CHANGE_SECURITY 0x8u    // permissions or ownership

extern "C" {

// Opens the sub-key `subkey` of `key` (components separated by '\'; null or
// empty: the key itself), creating each missing component. `disposition`
// (may be null) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
// `reserved`, `key_class`, `options` and `security` are ignored.
KRCORE_API LSTATUS RegCreateKeyExW(HKEY key, const wchar_t* subkey, DWORD reserved,
                                   wchar_t* key_class, DWORD options, REGSAM desired,
                                   const LPSECURITY_ATTRIBUTES security, PHKEY result,
                                   DWORD* disposition);

// Opens an existing sub-key; 2 when a component is missing.
KRCORE_API LSTATUS RegOpenKeyExW(HKEY key, const wchar_t* subkey, DWORD options, REGSAM desired,
                                 PHKEY result);

// Releases the handle. A pending change request on it is signalled.
KRCORE_API LSTATUS RegCloseKey(HKEY key);

// Reads the value `name` (null or empty: the default value). `type` (may be
// null) receives its type. With `data` null, `*size` receives the size of
// the byte image; otherwise `*size` is the buffer's size on entry and the
// image's size on return, and a buffer that is too small gives 234 (with
// the type and the needed size set). `data` non-null with `size` null: 87.
KRCORE_API LSTATUS RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* reserved, DWORD* type,
                                    BYTE* data, DWORD* size);

// Writes the value `name` (null or empty: the default value) with the byte
// image `data` of `size` bytes: 4 bytes for REG_DWORD, 8 for REG_QWORD,
// UTF-16LE for the string types. Another type, or a number of the wrong
// size: 87.
KRCORE_API LSTATUS RegSetValueExW(HKEY key, const wchar_t* name, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD size);

// Removes the value `name`; 2 when there is none.
KRCORE_API LSTATUS RegDeleteValueW(HKEY key, const wchar_t* name);

// Removes the sub-key `subkey` with its values; 5 when it has sub-keys.
KRCORE_API LSTATUS RegDeleteKeyW(HKEY key, const wchar_t* subkey);

// Removes the sub-key `subkey` with everything under it; with `subkey`
// null, removes every value and sub-key of `key` and keeps the key.
KRCORE_API LSTATUS RegDeleteTreeW(HKEY key, const wchar_t* subkey);

// The name of the sub-key number `index` (names in case-insensitive order).
// `*name_size` is the buffer's size in characters, terminator included, on
// entry and the name's length without it on return; 234 when it does not
// fit, 259 past the last one. `key_class` must be null; `last_write` (may
// be null) receives the folder's modification time.
KRCORE_API LSTATUS RegEnumKeyExW(HKEY key, DWORD index, wchar_t* name, DWORD* name_size,
                                 DWORD* reserved, wchar_t* key_class, DWORD* class_size,
                                 FILETIME* last_write);

// The value number `index` (names in case-insensitive order): its name as in
// RegEnumKeyExW, and its type and data as in RegQueryValueExW.
KRCORE_API LSTATUS RegEnumValueW(HKEY key, DWORD index, wchar_t* name, DWORD* name_size,
                                 DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);

// Asks to be told of the next change of the key (and of its sub-keys when
// `watch_subtree` is TRUE) of the kinds `filter` names. Asynchronous: the
// event `event` is signalled once, at the next change, and the call returns
// at once. Synchronous (`event` ignored): the call returns after the next
// change. The key is watched from its first request on: a change while no
// request is armed signals the next request at once, so none is lost; an
// overflow of the system's event queue counts as a change. When the key
// itself is deleted (or renamed away), the pending request is signalled
// and every later one fails with 1018. The filter and subtree choice of the
// first request hold for the handle's life.
KRCORE_API LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watch_subtree, DWORD filter,
                                           HANDLE event, BOOL asynchronous);

}  // extern "C"

#endif  // !_WIN32

// Typed reads and writes of one value, for callers that want a string, a
// number or a list rather than a byte image: the UTF-16 image of the string
// types (whatever the size of wchar_t) and the little-endian numbers are
// converted here. Each opens nothing: `key` is an open handle or a
// predefined key, `name` null or empty names the default value. Results are
// the Win32 codes of the calls above, plus 1630 (ERROR_UNSUPPORTED_TYPE)
// when the stored value has another type than the one asked for (the output
// argument is then left as it was) and 13 when a number is not 4 or 8
// bytes long. Thread-safe, as the calls they make.
namespace krCore {

// A REG_SZ or REG_EXPAND_SZ value (not expanded), up to its first null
// character; a string without a terminator is read whole.
KRCORE_API LSTATUS reg_read_string(HKEY key, const wchar_t* name, std::wstring& value);
// A REG_DWORD value.
KRCORE_API LSTATUS reg_read_dword(HKEY key, const wchar_t* name, DWORD& value);
// A REG_QWORD value.
KRCORE_API LSTATUS reg_read_qword(HKEY key, const wchar_t* name, std::uint64_t& value);
// A REG_MULTI_SZ value's strings up to the first empty one; a REG_SZ value
// gives its one string.
KRCORE_API LSTATUS reg_read_multi_string(HKEY key, const wchar_t* name,
                                         std::vector<std::wstring>& value);

// Writes `value` with `type` REG_SZ or REG_EXPAND_SZ (87 for another type),
// stored up to its first null character.
KRCORE_API LSTATUS reg_write_string(HKEY key, const wchar_t* name, const std::wstring& value,
                                    DWORD type = REG_SZ);
KRCORE_API LSTATUS reg_write_dword(HKEY key, const wchar_t* name, DWORD value);
KRCORE_API LSTATUS reg_write_qword(HKEY key, const wchar_t* name, std::uint64_t value);
// The strings must be non-empty (an empty one would end the list: 87).
KRCORE_API LSTATUS reg_write_multi_string(HKEY key, const wchar_t* name,
                                          const std::vector<std::wstring>& value);

}  // namespace krCore
