// Internal: the program counters captured when a fault was translated, read
// from a caught se_translator::exception (the symbol engine turns them into
// a trace).
#pragma once

#include <krcore/se_translator.h>

#include <cstddef>

#include "foundation/internal.h"

namespace krCore::detail {

// A view of the captured program counters: frames[0] is the faulting
// instruction, later entries are return addresses, innermost first. Empty
// for objects not made by the translator. Valid as long as `e` (or a copy
// of it) exists.
struct fault_frame_view {
  const void* const* frames = nullptr;
  std::size_t count = 0;
};

KRCORE_INTERNAL fault_frame_view fault_frames(const se_translator::exception& e) noexcept;

}  // namespace krCore::detail
