// The Linux half of freeing a thread's line buffer: a C++ thread-exit
// destructor, registered with the thread's first buffer.
#include "logging/line_buffer_release.h"

namespace krCore::detail {
namespace {

struct buffer_release {
  void* slot = nullptr;
  ~buffer_release() {
    if (slot) release_line_buffer(slot);
  }
};
thread_local buffer_release t_release;

}  // namespace

bool release_line_buffer_at_thread_end(void* slot) noexcept {
  t_release.slot = slot;
  return true;
}

}  // namespace krCore::detail
