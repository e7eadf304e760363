// The four flat logging functions, for programs that want only logging.
//
// C linkage, so that any language that can call C can use them. They work on
// the library's one process-wide logger (see logging.h).
#pragma once

#include <krcore/export.h>

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

// Starts the logger from the machine's logging configuration; `name` (may be
// null) is the base file name of the log files, null meaning the default
// location. A failure to start the configuration watcher throws (to C++
// callers). Thread-safe as the logger's own calls.
KRCORE_API void krLogInitialize(const wchar_t* name);

// Writes `message` as one entry at the normal level. Returns 0. A null
// message writes nothing. Never throws. Thread-safe.
KRCORE_API int krLog(const wchar_t* message);

// Writes the open log file's buffers to disk. Returns 0; never throws.
// Thread-safe.
KRCORE_API int krLogFlush(void);

// Destroys the logger (creating it first if there was none); a later call
// of any logging function meets a fresh, disabled logger. Returns 0. Must not
// race with other threads' logging.
KRCORE_API int krLogClose(void);

#ifdef __cplusplus
}
#endif
