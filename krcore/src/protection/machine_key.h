// Internal: the machine key behind the data protection, as the platform
// keeps it. The platform half finds (or, where there has never been one,
// makes) the key file, keeps the key in memory that is locked and left out
// of core dumps, and checks on every use that the file still holds it.
#pragma once

#include <string>

#include "foundation/internal.h"
#include "protection/data_protection.h"

namespace krCore::detail {

// What current_key_material answers in a process of another account than
// root when the key file is the installed one, root's and readable by root
// alone: the key helper (protection/linux/key_helper.h) does the work. Never
// set as a last error.
constexpr unsigned long kKeyReadableByRootAlone = 0xE0000005;

// Copies the current key material into `out` (the caller wipes it after
// use). With `check_file` (every protection, and a reader whose blob names
// another key) the status of the key file the key came from (held open) is
// compared with the loaded one, one fstat, and the file is read again when
// it was rewritten, removed or replaced, so a replaced key is used at once;
// without it a loaded key is given as it is. Nothing loaded always reads the
// file. A key file that is gone while a key is loaded is written
// back from memory with its former owner and mode; a new key is made only
// when the file is missing and the marker <key file>.made, which records
// that a key was made there, is missing too. Returns 0, or the code of the
// failure, each but the first key's absence also reported on the debugger
// output with the file's name: 0x80090016 (NTE_BAD_KEYSET) when the key is
// gone and a key was made before, 5 when the file is owned by another
// account or writable by others (or cannot be made), 13 when it is not a
// regular file holding exactly a key, 1920 when it is a symbolic link,
// kKeyReadableByRootAlone (above), or the system's code. Never blocks on the
// file (a FIFO is refused).
// Thread-safe.
KRCORE_INTERNAL unsigned long current_key_material(key_material& out, bool check_file);

// The key file used from now on in this process; empty returns to the
// default (KRCORE_MACHINE_KEY_FILE when set, else
// /var/lib/krcore/machine.key, read now). The loaded key is dropped.
// Thread-safe.
KRCORE_INTERNAL void set_machine_key_file(const std::string& path);

// The key file in use.
KRCORE_INTERNAL std::string machine_key_file();

}  // namespace krCore::detail
