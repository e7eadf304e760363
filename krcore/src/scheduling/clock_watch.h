// Internal: notices when the wall clock is set or the local time zone is
// replaced, and calls back on a small thread of its own. The platform half
// (linux/clock_watch.cpp) says how each change is noticed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The system's local-time-zone file (tests watch a file of their own).
constexpr const char* kZoneFile = "/etc/localtime";

class KRCORE_INTERNAL clock_change_watch {
 public:
  // Arms the clock timer and the zone watch, then starts the watch thread.
  // Every change calls tzset() (so local times follow) and then `on_change`
  // on the watch thread; changes that arrive together give one call. When
  // the constructor returns, a clock change is already noticed. Throws
  // krException with the Win32 code of the failure when the timer or the
  // thread cannot be made; a missing zone directory only disables the zone
  // watch.
  explicit clock_change_watch(std::function<void()> on_change,
                              const std::string& zone_file = kZoneFile);
  // Stops and joins the watch thread; `on_change` is not called afterwards.
  // Must not run on the watch thread.
  ~clock_change_watch();
  clock_change_watch(const clock_change_watch&) = delete;
  clock_change_watch& operator=(const clock_change_watch&) = delete;

 private:
  struct state;
  std::unique_ptr<state> _state;
};

}  // namespace krCore::detail
