// Internal: the one route by which library code outside the logger writes a
// line through the process-wide logger.
//
// It exists so that early parts of the library can log before depending on
// the logger's full interface; it tests the level first, like every caller of
// the logger must.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore {
class logger;
}

namespace krCore::detail {

// Levels, as the logger's log_levels.
enum : unsigned { kLogVerbose = 1, kLogNormal = 2, kLogWarning = 4, kLogError = 8 };

// True when the logger is enabled and admits `level`.
KRCORE_INTERNAL bool log_enabled(unsigned level);
// Writes `text` as one entry of `level` when the logger admits it.
KRCORE_INTERNAL void log_entry(unsigned level, const std::wstring& text);
// Flushes the logger this thread's lines go to.
KRCORE_INTERNAL void log_flush();

// While it lives, the calling thread's lines on this route go to `target`
// instead of the process-wide instance. The logger's own threads hold one:
// the logger's destructor waits for them with the singleton's lock held, so
// whatever they call must never ask the singleton for its instance (that
// waits for the lock while the instance is being replaced). Scopes nest; not
// shared between threads.
class KRCORE_INTERNAL thread_log_target {
 public:
  explicit thread_log_target(logger* target);
  ~thread_log_target();
  thread_log_target(const thread_log_target&) = delete;
  thread_log_target& operator=(const thread_log_target&) = delete;

 private:
  logger* _previous;
};

}  // namespace krCore::detail
