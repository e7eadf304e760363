// The event sink on Windows: the system's event log. A registration is the
// handle RegisterEventSourceW returns; the system refuses a stale or
// repeated handle with the invalid-handle code itself.
#include <windows.h>

#include "logging/event_sink.h"

namespace krCore::detail {

unsigned long register_event_source(const std::wstring& source, HANDLE* handle) {
  const HANDLE registered = RegisterEventSourceW(nullptr, source.c_str());
  if (!registered) return GetLastError();
  *handle = registered;
  return 0;
}

unsigned long deregister_event_source(HANDLE handle) {
  return DeregisterEventSource(handle) ? 0 : GetLastError();
}

unsigned long report_event(HANDLE handle, unsigned short type, unsigned short category,
                           unsigned long eventid, const std::wstring& text) {
  const wchar_t* strings[1] = {text.c_str()};
  return ReportEventW(handle, type, category, static_cast<DWORD>(eventid), nullptr, 1, 0, strings,
                      nullptr)
             ? 0
             : GetLastError();
}

}  // namespace krCore::detail
