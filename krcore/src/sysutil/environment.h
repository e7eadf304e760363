// Internal: what the process environment helpers need from the platform,
// behind one small interface so that a Windows backend could sit beside the
// Linux one. The portable half (environment.cpp) holds the texts, logging
// and decisions; these functions only reach the system.
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The executable's full path; 0 or the Win32 code of the failure in `error`.
KRCORE_INTERNAL std::wstring executable_path(unsigned long& error);

// The characters that end a folder's name in a path of this system.
KRCORE_INTERNAL extern const wchar_t* const kPathSeparators;

// The directory that stands in for the Windows directory.
KRCORE_INTERNAL std::wstring system_directory(unsigned long& error);

// The current process id.
KRCORE_INTERNAL unsigned long current_process_id();

// Shows `text` under `title` (a message box's `flags`) to the person at the
// machine. Returns the button they chose, or 0 when nobody could be asked
// (no window system, or only a terminal that gives no answer back).
KRCORE_INTERNAL int present_message(const std::wstring& text, const std::wstring& title,
                                    unsigned long flags);

// How long AttachMessageBox waits for a debugger: KRCORE_ATTACH_TIMEOUT_MS,
// or 60000 when it is unset, not a number or negative; a value beyond a
// week (however many digits) waits a week.
KRCORE_INTERNAL unsigned long attach_timeout_ms();

// Waits until a debugger is attached to the process, at most `timeout_ms`
// milliseconds. True when one is attached.
KRCORE_INTERNAL bool wait_for_debugger(unsigned long timeout_ms);

// The thread and process state of the component runtime. Results are
// HRESULTs, as the runtime's own functions return them.
KRCORE_INTERNAL long com_initialize_thread(unsigned long coinit);
KRCORE_INTERNAL void com_uninitialize_thread();
KRCORE_INTERNAL long com_initialize_security(unsigned long authLevel, unsigned long impLevel);

}  // namespace krCore::detail
