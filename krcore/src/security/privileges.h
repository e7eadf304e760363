// Internal: the capability questions the administrator tests ask, and
// (Linux) the start of the library's own threads without the capabilities
// that a privilege switched on for their creator's scope raised.
#pragma once

#include <cstdint>

#include "foundation/internal.h"

namespace krCore::detail {

// True when the calling thread may administer the machine's services
// (CAP_SYS_ADMIN in its effective set).
bool may_manage_services();

// Linux: while it lives, the calling thread's effective set holds none of
// the capabilities that live auto_privilege objects raised and no thread
// had before, so a thread the library starts meanwhile begins with the
// process's own set; they come back at the end as far as their scope is
// still in force. Made around every start of a library thread. Costs one
// atomic read when no such object lives. Never throws.
class KRCORE_INTERNAL start_unprivileged {
 public:
  start_unprivileged();
  ~start_unprivileged();
  start_unprivileged(const start_unprivileged&) = delete;
  start_unprivileged& operator=(const start_unprivileged&) = delete;

 private:
  std::uint64_t _lowered = 0;
};

}  // namespace krCore::detail
