// The security-and-identity family: protected strings and credentials,
// machine and account facts, rights and access control, signature checks.
#pragma once

#include <krcore/foundation.h>

// ---------------------------------------------------------------------------
// Machine and account facts.
// ---------------------------------------------------------------------------

namespace krCore {

// The computer's NetBIOS-style name: the host name up to its first dot, in
// upper case, cut to at most 15 characters. When the host name cannot be
// read, `throwonerror` true throws w32_exception with the system's code;
// false gives the empty text. Thread-safe.
KRCORE_API std::wstring GetComputerNameW(bool throwonerror);

}  // namespace krCore
