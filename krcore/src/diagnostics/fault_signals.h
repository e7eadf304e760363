// Internal: the per-thread fault translator setting and the platform source
// of faults behind it (linux/fault_signals.cpp on Linux).
#pragma once

#include <krcore/se_translator.h>

#include <exception>
#include <typeinfo>

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

// The class the library's translator throws for `code`.
KRCORE_INTERNAL const std::type_info* translated_type(unsigned int code) noexcept;

// Reports a translated fault that no handler on its thread can catch, as
// the crash diagnostics report any fault (the exception analysis, logged
// and flushed, and the event log), for a process that is about to end; a
// write access violation ends the process here, as its analysis does.
// Runs the report on a thread of its own, since the faulting thread may be
// on a small signal stack, and gives up waiting for it after a generous
// bound (it may need a lock the faulting thread holds). Never throws.
KRCORE_INTERNAL void report_unhandled_fault(const std::exception_ptr& fault) noexcept;

}  // namespace krCore::detail
