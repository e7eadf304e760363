// Internal: the debugger output channel.
//
// Linux has no system debugger channel, so the library keeps its own: every
// diagnostic that must never land in a log file (the logger's own messages,
// start-up notes of process-wide services) is sent here. Like its Windows
// counterpart the channel is silent unless someone listens: the environment
// variable KRCORE_DEBUG_OUTPUT selects the listener once per process —
// unset or empty: silent; "stderr": standard error; anything else: the path
// of a file the text is appended to (UTF-8). Tests capture the channel with
// a hook instead.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// True when a text sent now would go somewhere. Callers that have to build
// an expensive text test this first. Thread-safe, lock-free.
KRCORE_INTERNAL bool debug_output_active() noexcept;

// Sends `text` to the channel unchanged (no line end is added). Wide text is
// written as UTF-8; narrow text is taken to be UTF-8 already. Never throws;
// a text that cannot be delivered is lost. Thread-safe.
KRCORE_INTERNAL void debug_output(std::wstring_view text) noexcept;
KRCORE_INTERNAL void debug_output(std::string_view text) noexcept;

// Test hook: while a hook is installed, every text goes to it (narrow text
// widened) instead of the configured listener. An empty function removes it.
// The hook runs on the sending thread, without any library lock of the
// channel held, so it may call back into the library.
using debug_output_hook = std::function<void(const std::wstring&)>;
KRCORE_INTERNAL void set_debug_output_hook(debug_output_hook hook);

// The platform half: the listener that KRCORE_DEBUG_OUTPUT selects.
// debug_listener_ready is decided once and then costs one load.
bool debug_listener_ready() noexcept;
void debug_listener_write(std::string_view utf8) noexcept;

}  // namespace krCore::detail
