// Conversions between SYSTEMTIME and FILETIME on the proleptic Gregorian
// calendar, and the current UTC time from the clock table.
#include "time/filetime.h"

#include "time/clocks.h"
#include "foundation/errors.h"

namespace krCore::detail {
namespace {

constexpr long long kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr long long kDaysTo1970 = 134'774;

constexpr bool is_leap_year(unsigned year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr unsigned days_in_month(unsigned year, unsigned month) {
  constexpr unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29u : kDays[month - 1];
}

// Days since 1970-01-01 of a civil date (H. Hinnant's algorithm: years start
// in March, so the leap day ends a year).
constexpr long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct civil_date {
  long long year;
  unsigned month;
  unsigned day;
};

// The inverse of days_from_civil.
constexpr civil_date civil_from_days(long long z) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<long long>(yoe) + era * 400 + (m <= 2), m, d};
}

static_assert(days_from_civil(1601, 1, 1) == -kDaysTo1970);

}  // namespace

unsigned long system_time_to_file_time(const SYSTEMTIME& st, FILETIME& ft) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > days_in_month(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999)
    return kErrorInvalidParameter;
  const long long days = days_from_civil(st.wYear, st.wMonth, st.wDay) + kDaysTo1970;
  const long long seconds =
      days * kSecondsPerDay + st.wHour * 3600LL + st.wMinute * 60LL + st.wSecond;
  ft = make_file_time(static_cast<unsigned long long>(seconds) * kFileTimeUnitsPerSecond +
                      st.wMilliseconds * kFileTimeUnitsPerMs);
  return kErrorSuccess;
}

unsigned long file_time_to_system_time(const FILETIME& ft, SYSTEMTIME& st) {
  const unsigned long long value = file_time_value(ft);
  if (value >> 63) return kErrorInvalidParameter;
  const unsigned long long ms = value / kFileTimeUnitsPerMs;
  const long long days = static_cast<long long>(ms / (kSecondsPerDay * 1000));
  const unsigned long long ms_of_day = ms % (kSecondsPerDay * 1000);
  const civil_date date = civil_from_days(days - kDaysTo1970);
  st.wYear = static_cast<WORD>(date.year);
  st.wMonth = static_cast<WORD>(date.month);
  st.wDay = static_cast<WORD>(date.day);
  st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st.wHour = static_cast<WORD>(ms_of_day / 3'600'000);
  st.wMinute = static_cast<WORD>(ms_of_day / 60'000 % 60);
  st.wSecond = static_cast<WORD>(ms_of_day / 1000 % 60);
  st.wMilliseconds = static_cast<WORD>(ms_of_day % 1000);
  return kErrorSuccess;
}

void get_system_time(SYSTEMTIME& st) {
  // Only a substituted clock can read 2^63 or more; it is clamped to the
  // last representable moment.
  unsigned long long now = clocks().utc_now();
  if (now >> 63) now = ~0ull >> 1;
  file_time_to_system_time(make_file_time(now), st);
}

unsigned long query_system_time(unsigned long long& now) {
  SYSTEMTIME st;
  get_system_time(st);
  FILETIME ft;
  if (const unsigned long error = system_time_to_file_time(st, ft)) return error;
  now = file_time_value(ft);
  return kErrorSuccess;
}

}  // namespace krCore::detail
