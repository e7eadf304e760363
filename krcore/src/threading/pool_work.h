// Internal: what both thread pools do alike on their threads: run one work
// item under the exception rules for items, and write their log lines.
#pragma once

#include <krcore/diagnostics.h>
#include <krcore/logging.h>
#include <krcore/threading.h>


#include <atomic>
#include <utility>

#include "foundation/compiler.h"
#include "foundation/waitable.h"
#include "logging/logsink.h"
#include "threading/native_thread.h"

namespace krCore::detail {

// Runs work.Execute(). False when it threw thread_shutdown_exception (the
// thread that ran it is to end); any other exception is handed to
// guard.Analyze(file, line) and counts as a return. The unwinding of an
// ending thread passes through (see guarded_call).
KRCORE_NO_SANITIZE_UNDEFINED inline bool execute_work(se_exception_initializer& guard,
                                                                IThreadwork& work, const char* file,
                                                                int line) {
  try {
    work.Execute();
  } catch (const thread_shutdown_exception&) {
    return false;
  }
  KRCORE_PASS_THREAD_END
  catch (...) {
    guard.Analyze(file, line);
  }
  return true;
}

// Enters a pool thread's body through the pool class's wrapper, when one is
// installed (read once, at the thread's start).
inline unsigned int enter_pool_thread(const std::atomic<threadpool_wrapper_t>& wrapper,
                                      const std::atomic<void*>& param, threadpool_body_t body,
                                      void* argument) {
  if (threadpool_wrapper_t func = wrapper.load()) return func(body, argument, param.load());
  return body(argument);
}

// Waits up to `timeout_ms` for a pool thread to end and ends it by force
// when it does not; true when it ended by itself.
inline bool join_or_end_thread(HANDLE thread, unsigned long timeout_ms) {
  if (wait_any(&thread, 1, timeout_ms) == kWaitObject0) return true;
  terminate_thread(thread);
  return false;
}

// Writes one entry of `level` made of `parts` streamed in order, when the
// logger admits that level; nothing is formatted otherwise.
template <class... Parts>
void pool_log(unsigned level, Parts&&... parts) {
  if (!log_enabled(level)) return;
  basic_log_ostream<wchar_t> os(static_cast<logger::log_levels>(level));
  (os << ... << std::forward<Parts>(parts));
}

}  // namespace krCore::detail
