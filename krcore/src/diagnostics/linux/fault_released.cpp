// The release of a fault record on Linux: the fault used up nothing of its
// thread (the handler runs on the thread's alternate signal stack).
#include "diagnostics/fault_record.h"

namespace krCore::detail {

void fault_record_released() noexcept {}

}  // namespace krCore::detail
