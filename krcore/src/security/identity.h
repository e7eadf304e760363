// Internal: what the portable security code asks of the platform about
// identities: accounts by name, the calling thread's user, the account
// domain, and the administrator questions. On Linux the answers come from
// the account database and the table in the public header; on Windows from
// the system's own security calls, where a SID is the system's SID.
#pragma once

#include <krcore/security.h>

#include <string>
#include <utility>

#include "foundation/internal.h"

namespace krCore::detail {

// Builds CSid values for the platform halves.
struct sid_access {
  static CSid make(std::wstring sid, std::wstring account, std::wstring domain, int kind,
                   unsigned int id) {
    CSid out;
    out._sid = std::move(sid);
    out._account = std::move(account);
    out._domain = std::move(domain);
    out._kind = kind;
    out._id = id;
    return out;
  }
};

// Resolves an account name of the local machine or of its domain (the local
// system account's spellings are resolved before this is asked). 0 with
// `out` set, else the Win32 code (1332 when no account has the name).
// Thread-safe.
unsigned long lookup_account(const std::wstring& name, CSid& out);

// The calling thread's user name in a name format (2, 3 or 8, after
// GetThreadUserNameEx). 0 with `name` set, else the Win32 code (1332 for
// another format). Thread-safe.
unsigned long thread_user_name(int format, std::wstring& name);

// The textual SID of the machine's account domain (S-1-5-21-a-b-c): 0 with
// `text` set, else the Win32 code. Thread-safe.
unsigned long account_domain_sid(std::wstring& text);

// True when the calling thread's user is an administrator: a member of the
// administrators' group (on Linux root too). Thread-safe.
bool is_admin_equivalent();

// The elevation of the calling process's token (1 default, 2 full, 3
// limited). Windows throws krException when the token cannot be read.
TOKEN_ELEVATION_TYPE elevation_type();

// What the "EnableLUA" policy reads as when the value is missing or not a
// DWORD: the platform's own default.
bool elevation_policy_default();

// The account's name as account rights are keyed on it: on a domain
// controller the domain part of "domain\user" is dropped (logged), and
// every ".\" becomes the computer name and a backslash.
std::wstring rights_account_name(const std::wstring& account);

}  // namespace krCore::detail
