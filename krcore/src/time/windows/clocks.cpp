// The system's real clocks for the clock table on Windows.
//
// GetTickCount64 counts from system start and keeps counting across a
// suspend, as the library's tick counts promise; the system time comes from
// GetSystemTimePreciseAsFileTime, already in FILETIME units; the performance
// counter is the system's own, which the waits of the system are timed
// against as well.
#include <windows.h>

#include "foundation/errors.h"
#include "time/clocks.h"

namespace krCore::detail {

namespace {

unsigned long long tick_count64() { return ::GetTickCount64(); }

DWORD tick_count() { return ::GetTickCount(); }

unsigned long long utc_now() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

unsigned long performance_counter(long long* count) {
  LARGE_INTEGER value;
  if (!::QueryPerformanceCounter(&value)) return ::GetLastError();
  *count = value.QuadPart;
  return kErrorSuccess;
}

unsigned long performance_frequency(long long* frequency) {
  LARGE_INTEGER value;
  if (!::QueryPerformanceFrequency(&value)) return ::GetLastError();
  *frequency = value.QuadPart;
  return kErrorSuccess;
}

}  // namespace

// Named from clocks.cpp, which puts it in force at start.
extern constinit const clock_table kSystemClockTable = {
    &tick_count64, &tick_count, &utc_now, &performance_counter, &performance_frequency,
};

const clock_table& system_clocks() { return kSystemClockTable; }

}  // namespace krCore::detail
