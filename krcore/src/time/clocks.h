// Internal: the table of platform clocks that the time family reads.
//
// Every clock read of the tick-count provider and the stopwatches goes
// through the current table, so a test can substitute clocks it controls:
// a 32-bit tick count that wraps, a missing native 64-bit count, a
// performance counter that leaps ahead. The default table holds the
// platform's real clocks.
#pragma once

#include <krcore/wintypes.h>

#include "foundation/internal.h"

namespace krCore::detail {

struct clock_table {
  // Milliseconds since system start, never wrapping; null when the platform
  // has no such count (the tick-count provider then emulates it).
  unsigned long long (*tick_count64)();
  // Milliseconds since system start, wrapping at 2^32.
  DWORD (*tick_count)();
  // UTC now in 100 ns units since 1601-01-01 (FILETIME units).
  unsigned long long (*utc_now)();
  // The performance counter and its counts per second. Both return 0 on
  // success or a Win32 code, and write their output only on success.
  unsigned long (*performance_counter)(long long* count);
  unsigned long (*performance_frequency)(long long* frequency);
};

// The platform's real clocks.
KRCORE_INTERNAL const clock_table& system_clocks();

// The table in force. Reads are lock-free.
KRCORE_INTERNAL const clock_table& clocks();

// Puts `table` in force (null: the platform's real clocks) and returns the
// table in force before. `table` must outlive its use. The tick-count
// provider keeps the native count it found at creation: after a change,
// reset_tick_count_provider() lets the next instance() see the new table.
KRCORE_INTERNAL const clock_table* set_clocks(const clock_table* table);

// Destroys the process-wide TickCountProvider so that the next instance()
// creates it afresh. Only for tests: no other thread may be using it.
KRCORE_INTERNAL void reset_tick_count_provider();

// Puts a table in force for a scope, with a fresh tick-count provider on
// entry and exit.
class scoped_clocks {
 public:
  explicit scoped_clocks(const clock_table& table) : _previous(set_clocks(&table)) {
    reset_tick_count_provider();
  }
  ~scoped_clocks() {
    set_clocks(_previous);
    reset_tick_count_provider();
  }
  scoped_clocks(const scoped_clocks&) = delete;
  scoped_clocks& operator=(const scoped_clocks&) = delete;

 private:
  const clock_table* _previous;
};

}  // namespace krCore::detail
