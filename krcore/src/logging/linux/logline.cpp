// The platform parts of the log line on Linux: the thread id is the
// kernel's id of the thread, the number tools such as ps and top show; the
// console copy goes to stdout as UTF-8.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "foundation/utf.h"
#include "logging/logline.h"

namespace krCore::detail {

long current_thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

void console_write(const std::wstring& line) {
  const std::string bytes = utf8_from_wide(line);
  (void)std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  (void)std::fflush(stdout);
}

}  // namespace krCore::detail
