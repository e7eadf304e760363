// Internal (Windows): the calling thread's access token and the system's
// binary SIDs.
#pragma once

#include <windows.h>

#include <krcore/holders.h>
#include <krcore/security.h>

#include <vector>

namespace krCore::detail {

// Opens the calling thread's token when it impersonates (`openasself`: the
// access check is the process's), else the process's token. Returns the
// handle, or null with `error` set to the Win32 code and `call` to the
// failing call's name; `call` names "OpenProcessToken" as well when that
// call succeeded, and is left as it was when the thread's token was opened.
// Thread-safe.
HANDLE open_own_token(DWORD access, bool openasself, DWORD& error, const wchar_t*& call);

// The binary form of a valid CSid (empty for invalid text). Thread-safe.
std::vector<BYTE> binary_sid(const CSid& sid);

// The CSid of a binary SID, with its account's name and domain when the
// system knows them (else empty). Thread-safe.
CSid describe_sid(PSID sid);

}  // namespace krCore::detail
