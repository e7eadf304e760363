// Internal: the capability questions the administrator tests ask.
#pragma once

#include "foundation/internal.h"

namespace krCore::detail {

// True when the calling thread may administer the machine's services
// (CAP_SYS_ADMIN in its effective set).
bool may_manage_services();

}  // namespace krCore::detail
