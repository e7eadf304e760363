// The thread id of the log line on Windows: the system's id of the thread.
#include <windows.h>

#include "logging/logline.h"

namespace krCore::detail {

long current_thread_id() { return static_cast<long>(GetCurrentThreadId()); }

}  // namespace krCore::detail
