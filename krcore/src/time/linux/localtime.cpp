// The local time, broken down with the process's time zone (TZ and the
// system zone database).
#include <time.h>

#include "time/clocks.h"
#include "time/filetime.h"

namespace krCore::detail {

void local_time_at(long long unix_seconds, SYSTEMTIME& st) {
  // localtime_r need not look at TZ again by itself.
  tzset();
  const time_t t = static_cast<time_t>(unix_seconds);
  tm local{};
  localtime_r(&t, &local);
  st.wYear = static_cast<WORD>(local.tm_year + 1900);
  st.wMonth = static_cast<WORD>(local.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(local.tm_wday);
  st.wDay = static_cast<WORD>(local.tm_mday);
  st.wHour = static_cast<WORD>(local.tm_hour);
  st.wMinute = static_cast<WORD>(local.tm_min);
  st.wSecond = static_cast<WORD>(local.tm_sec);
  st.wMilliseconds = 0;
}

void get_local_time(SYSTEMTIME& st) {
  const unsigned long long now = clocks().utc_now();
  local_time_at(static_cast<long long>(now / kFileTimeUnitsPerSecond) -
                    static_cast<long long>(kFileTimeUnixEpoch / kFileTimeUnitsPerSecond),
                st);
  st.wMilliseconds = static_cast<WORD>(now / kFileTimeUnitsPerMs % 1000);
}

}  // namespace krCore::detail
