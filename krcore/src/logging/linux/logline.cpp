// The thread id of the log line on Linux: the kernel's id of the thread,
// the number tools such as ps and top show.
#include <sys/syscall.h>
#include <unistd.h>

#include "logging/logline.h"

namespace krCore::detail {

long current_thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

}  // namespace krCore::detail
