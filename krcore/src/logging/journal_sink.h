// Internal: the copy of each log entry that goes to the system journal when
// the logger's option 0x40 asks for it, beside (never instead of) the file.
//
// The copy is best effort and never holds up the caller: a journal that is
// absent, or too busy to take the entry at once, costs the entry (counted,
// and said once per process), not a wait. On Linux the entry goes to
// journald's native socket; on Windows there is no journal and nothing is
// sent.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// Where an entry was written in the program's source, when the caller said.
struct log_source {
  const char* file = nullptr;
  unsigned line = 0;
  const char* function = nullptr;
};

// Sends one entry of `level` (the logger's level bits; the highest one
// counts) with `message` and, when not null, `where`. Thread-safe (one lock
// of its own, held for one non-blocking send); safe in a fork child and
// against a forced end of the calling thread. Never throws. Returns 0, or
// the Win32 code of the drop.
KRCORE_INTERNAL unsigned long journal_copy(std::wstring_view message, unsigned level,
                                           const log_source* where) noexcept;

// Entries dropped so far by this process (and its parents before a fork).
KRCORE_INTERNAL std::uint64_t journal_dropped() noexcept;

}  // namespace krCore::detail
