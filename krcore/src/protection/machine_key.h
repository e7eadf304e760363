// Internal: the machine key behind the data protection, as the platform
// keeps it. The platform half finds (or makes) the key file, loads it once
// into memory that is locked and left out of core dumps, and reloads it only
// when the file changes.
#pragma once

#include <string>

#include "foundation/internal.h"
#include "protection/data_protection.h"

namespace krCore::detail {

// Copies the current key material into `out` (the caller wipes it after
// use). The key file is read, or made on first use, only when nothing is
// loaded, when the path changed, or when the file looks changed: its
// identity is checked at most about once a second, and at once when
// `recheck` is true (a blob named a key identifier the loaded key does not
// have). Returns 0, or the code of the failure: 5 or the system's code when
// the file cannot be read or made, 13 when it does not hold exactly a key.
// Thread-safe.
KRCORE_INTERNAL unsigned long current_key_material(key_material& out, bool recheck);

// The key file used from now on in this process; empty returns to the
// default (KRCORE_MACHINE_KEY_FILE when set, else
// /var/lib/krcore/machine.key, read now). The loaded key is dropped.
// Thread-safe.
KRCORE_INTERNAL void set_machine_key_file(const std::string& path);

// The key file in use.
KRCORE_INTERNAL std::string machine_key_file();

}  // namespace krCore::detail
