// Internal: conversions between broken-down times (SYSTEMTIME), FILETIME
// values and 64-bit counts of 100 ns since 1601-01-01, with the validation
// rules of the platform interface they stand in for.
//
// The logger's line prefix, the scheduler and the time family share them.
#pragma once

#include <krcore/wintypes.h>

#include "foundation/internal.h"

namespace krCore::detail {

// FILETIME units per millisecond and per second, and the FILETIME value of
// the Unix epoch (1970-01-01 00:00 UTC).
constexpr unsigned long long kFileTimeUnitsPerMs = 10'000;
constexpr unsigned long long kFileTimeUnitsPerSecond = 10'000'000;
constexpr unsigned long long kFileTimeUnixEpoch = 116'444'736'000'000'000;

constexpr unsigned long long file_time_value(const FILETIME& ft) {
  return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
constexpr FILETIME make_file_time(unsigned long long value) {
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// Fills `ft` from `st` (wDayOfWeek is ignored). Returns 0, or 87 (invalid
// parameter) without touching `ft` when a field is out of range: year
// 1601..30827, month 1..12, day within the month, hour < 24, minute and
// second < 60, milliseconds < 1000.
KRCORE_INTERNAL unsigned long system_time_to_file_time(const SYSTEMTIME& st, FILETIME& ft);

// Fills `st` from `ft`, day of the week included, truncating to whole
// milliseconds. Returns 0, or 87 for values of 2^63 and more.
KRCORE_INTERNAL unsigned long file_time_to_system_time(const FILETIME& ft, SYSTEMTIME& st);

// The current UTC time, broken down (millisecond precision). Never fails.
KRCORE_INTERNAL void get_system_time(SYSTEMTIME& st);

// The current UTC time in FILETIME units, read as a broken-down time and
// converted back, so at millisecond precision. Returns 0, or the conversion's
// Win32 code without touching `now`.
KRCORE_INTERNAL unsigned long query_system_time(unsigned long long& now);

// The current local time, broken down, in the process's time zone.
KRCORE_INTERNAL void get_local_time(SYSTEMTIME& st);

// `unix_seconds` (seconds since 1970-01-01 UTC) broken down in the process's
// time zone, which is read again first, so a changed TZ counts from this
// call on; wMilliseconds is 0.
KRCORE_INTERNAL void local_time_at(long long unix_seconds, SYSTEMTIME& st);

}  // namespace krCore::detail
