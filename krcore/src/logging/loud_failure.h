// Internal: the logger's failures that drop every line, said out loud.
//
// The debugger output is silent unless someone listens, so a logger that
// writes nothing at all (logging left off for want of its settings, a log
// file that cannot be opened) would look like a logger with nothing to say.
// These reports go once per process to standard error as well as to the
// debugger output, and name the real cause: the folder that may not be
// written, not the file that therefore does not exist.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// Logging stays off because the value "Enable" of the logging key is
// missing. Once per process. Never throws.
KRCORE_INTERNAL void report_logging_off_unset() noexcept;

// The log file `path` could not be opened with Win32 code `error`. Once per
// process; a later failure after a file did open is said again. Never
// throws.
KRCORE_INTERNAL void report_log_unopened(const std::wstring& path, unsigned long error) noexcept;

// A log file opened: the next failure to open one is reported again.
KRCORE_INTERNAL void report_log_opened() noexcept;

// An entry for the system journal was dropped (see journal_sink.h): the
// socket `path` did not take it, with Win32 code `error`. Once per process;
// the drops go on being counted. Never throws.
KRCORE_INTERNAL void report_journal_drop(const std::string& path, unsigned long error) noexcept;

// The platform half: why a file cannot be made at `path` when a folder on
// its way is at fault ("the folder [/x] may not be written by this account
// (Permission denied)"), or empty when no folder is.
std::string folder_fault(const std::wstring& path);

}  // namespace krCore::detail
