// Internal: the code-signing roots the administrator trusts, read from the
// roots folder.
#pragma once

#include <openssl/x509.h>

namespace krCore::detail {

// A store of every certificate of every file in the roots folder (PEM, or
// one DER certificate per file), as a new reference the caller frees with
// X509_STORE_free. The store read last is reused while the folder's files
// are the same ones unchanged (same names, inodes, sizes and change times),
// so that a verification does not decode the roots again. Thread-safe.
X509_STORE* trusted_roots();

}  // namespace krCore::detail
