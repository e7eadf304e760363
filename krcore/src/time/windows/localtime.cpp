// The local time on Windows, broken down with the system's time zone
// (daylight saving time as the zone had it at that moment).
#include <windows.h>

#include "time/clocks.h"
#include "time/filetime.h"

namespace krCore::detail {

namespace {

// UTC in FILETIME units to the local calendar time; the whole record is
// zero when the system cannot convert it (a moment before 1601).
void local_from_file_time(unsigned long long units, SYSTEMTIME& st) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(units);
  ft.dwHighDateTime = static_cast<DWORD>(units >> 32);
  SYSTEMTIME utc;
  if (!::FileTimeToSystemTime(&ft, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st))
    st = SYSTEMTIME{};
}

}  // namespace

void local_time_at(long long unix_seconds, SYSTEMTIME& st) {
  const long long epoch_seconds = static_cast<long long>(kFileTimeUnixEpoch / kFileTimeUnitsPerSecond);
  if (unix_seconds < -epoch_seconds) {
    st = SYSTEMTIME{};
    return;
  }
  local_from_file_time(static_cast<unsigned long long>(unix_seconds + epoch_seconds) * kFileTimeUnitsPerSecond, st);
  st.wMilliseconds = 0;
}

// Through the clock table, so that a test's clock moves the local time too.
void get_local_time(SYSTEMTIME& st) { local_from_file_time(clocks().utc_now(), st); }

}  // namespace krCore::detail
