// The platform's real clocks for the clock table.
//
// The tick counts use CLOCK_BOOTTIME, which keeps counting while the system
// is suspended (as the tick count of the platform interface does); the
// performance counter is CLOCK_MONOTONIC in nanoseconds, the clock the
// library's timed waits use, so a wait computed from a stopwatch never ends
// early against it. All of them are vDSO reads without a system call.
#include <time.h>

#include "time/clocks.h"
#include "foundation/errors.h"
#include "time/filetime.h"

namespace krCore::detail {
namespace {

constexpr long long kNanosecondsPerSecond = 1'000'000'000;
constexpr unsigned long long kUnixEpochSeconds = kFileTimeUnixEpoch / kFileTimeUnitsPerSecond;

// CLOCK_BOOTTIME and CLOCK_REALTIME do not fail for a valid clock id.
unsigned long long boot_time_ms() {
  timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<unsigned long long>(ts.tv_sec) * 1000 +
         static_cast<unsigned long long>(ts.tv_nsec) / 1'000'000;
}

DWORD boot_time_ms32() { return static_cast<DWORD>(boot_time_ms()); }

unsigned long long realtime_file_time() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<unsigned long long>(ts.tv_sec) + kUnixEpochSeconds) * kFileTimeUnitsPerSecond +
         static_cast<unsigned long long>(ts.tv_nsec) / 100;
}

unsigned long monotonic_ns(long long* count) {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return last_errno_as_win32();
  *count = static_cast<long long>(ts.tv_sec) * kNanosecondsPerSecond + ts.tv_nsec;
  return kErrorSuccess;
}

unsigned long monotonic_frequency(long long* frequency) {
  *frequency = kNanosecondsPerSecond;
  return kErrorSuccess;
}

}  // namespace

// Named from clocks.cpp, which puts it in force at start.
extern constinit const clock_table kSystemClockTable = {
    &boot_time_ms, &boot_time_ms32, &realtime_file_time, &monotonic_ns, &monotonic_frequency,
};

const clock_table& system_clocks() { return kSystemClockTable; }

}  // namespace krCore::detail
