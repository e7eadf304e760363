// The clock, time zone and ids of the log line on Linux.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "../logline.h"

namespace krCore::detail {

void wall_clock_now(std::int64_t& second, unsigned& millisecond) {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  second = ts.tv_sec;
  millisecond = static_cast<unsigned>(ts.tv_nsec / 1000000);
}

void local_time(std::int64_t second, local_time_fields& fields) {
  // localtime_r need not look at TZ again; tzset makes a changed zone count.
  ::tzset();
  const time_t t = static_cast<time_t>(second);
  struct tm tm {};
  ::localtime_r(&t, &tm);
  fields.year = static_cast<unsigned>(tm.tm_year + 1900);
  fields.month = static_cast<unsigned>(tm.tm_mon + 1);
  fields.day = static_cast<unsigned>(tm.tm_mday);
  fields.hour = static_cast<unsigned>(tm.tm_hour);
  fields.minute = static_cast<unsigned>(tm.tm_min);
  fields.second = static_cast<unsigned>(tm.tm_sec);
}

long current_thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

unsigned long current_process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace krCore::detail
