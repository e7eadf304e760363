// Internal: the per-thread fault translator setting and the platform source
// of faults behind it (linux/fault_signals.cpp on Linux).
#pragma once

#include <krcore/se_translator.h>

#include "foundation/internal.h"

namespace krCore::detail {

// Makes `fn` the calling thread's translator and returns the one it
// replaces (null when none), like the runtime's translator hook. Setting a
// non-null translator first makes sure the process's fault handlers and the
// thread's fault state are in place; that setup throws krException when the
// system refuses it (the setting is unchanged then). Setting null never
// throws.
KRCORE_INTERNAL se_translator::translator_function set_thread_translator(
    se_translator::translator_function fn);

}  // namespace krCore::detail
