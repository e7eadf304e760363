// Internal: the Authenticode check of one PE file against the configured
// code-signing roots.
#pragma once

#include <ctime>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The folder of trusted code-signing roots: KRCORE_CODESIGN_ROOTS when set
// and not empty, else /etc/krcore/codesign-roots.
KRCORE_INTERNAL std::string codesign_roots_folder();

// Verifies the file's primary signature: the image digest, the signature
// over the signed content, the signer's chain to a trusted root (at the
// time of a valid RFC 3161 time stamp or Authenticode counter-signature
// when one is attached, else now), and the signer's code-signing usage.
// 0 when trusted, else the 32-bit HRESULT of the first failing check; an
// unreadable file gives the HRESULT of its Win32 error.
KRCORE_INTERNAL unsigned long verify_authenticode(const std::string& path);

// The same check of a file already in memory.
KRCORE_INTERNAL unsigned long verify_authenticode_bytes(const unsigned char* data,
                                                        std::size_t size);

}  // namespace krCore::detail
