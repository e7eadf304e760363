// Internal: what the process functions need from the platform, behind one
// small interface (the Linux half reads /proc and uses process descriptors).
// Results are Win32 codes; nothing here logs.
#pragma once

#include <krcore/wintypes.h>

#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// Writes up to `capacity` process ids into `pids` and their number into
// `returned`; when there are more, `returned` equals `capacity`. 0 or a code.
KRCORE_INTERNAL unsigned long list_process_ids(unsigned long* pids, std::size_t capacity,
                                               std::size_t& returned);

// The name of process `pid`: the executable's base name, or with `full` its
// path; when the executable may not be read, the first command-line
// argument, then the kernel's short name. 0, 87 for a process that is gone,
// or the code of the last failure.
KRCORE_INTERNAL unsigned long process_name(unsigned long pid, bool full, std::wstring& name);

// The executable's base name only (no fall-backs); 0 or a code.
KRCORE_INTERNAL unsigned long process_executable_base_name(unsigned long pid, std::wstring& name);

// Asks the process behind `process` (a process handle) to end cleanly. 0, 5
// when it may not be signalled, 6 for a bad handle.
KRCORE_INTERNAL unsigned long post_close_request(HANDLE process);
// The same for a process id (used where no handle is at hand).
KRCORE_INTERNAL unsigned long post_close_request_to_pid(unsigned long pid);

// Boot time in seconds since 1970 (UTC); 0 or a code.
KRCORE_INTERNAL unsigned long boot_time_seconds(long long& seconds);
// Milliseconds since boot, suspend included.
KRCORE_INTERNAL unsigned long long boottime_ms();
// The local zone's offset from UTC in minutes (east positive) at `when`
// (seconds since 1970).
KRCORE_INTERNAL long local_utc_offset_minutes(long long when);

}  // namespace krCore::detail
