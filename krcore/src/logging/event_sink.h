// Internal: the system's event sink, as the event logger sees it.
//
// Four operations stand for the platform's event-log calls: register a
// source by name, report one event (type, category, identifier, one string),
// deregister. A registration is an opaque handle; the platform half keeps
// the handles it gave out, so a stale or repeated handle is refused with
// the invalid-handle code instead of touching a resource that may since
// belong to someone else. Every function returns a Win32 code (0 = success)
// and never throws. Thread-safe.
#pragma once

#include <krcore/wintypes.h>

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// Registers `source` (not empty); on success stores the handle in `*handle`.
KRCORE_INTERNAL unsigned long register_event_source(const std::wstring& source, HANDLE* handle);

// Ends a registration; 6 for a handle that is not (or no longer) registered.
KRCORE_INTERNAL unsigned long deregister_event_source(HANDLE handle);

// Reports one event through a registration.
KRCORE_INTERNAL unsigned long report_event(HANDLE handle, unsigned short type,
                                           unsigned short category, unsigned long eventid,
                                           const std::wstring& text);

}  // namespace krCore::detail
