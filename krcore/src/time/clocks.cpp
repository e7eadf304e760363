// The clock table in force and the switch between tables.
#include "time/clocks.h"

#include <atomic>

namespace krCore::detail {

// Defined with the platform's clocks; constant-initialised, so the table is
// in force before any static constructor runs.
extern const clock_table kSystemClockTable;

namespace {
constinit std::atomic<const clock_table*> current_table{&kSystemClockTable};
}  // namespace

const clock_table& clocks() { return *current_table.load(std::memory_order_acquire); }

const clock_table* set_clocks(const clock_table* table) {
  return current_table.exchange(table ? table : &kSystemClockTable, std::memory_order_acq_rel);
}

}  // namespace krCore::detail
