// The event sink on Windows: the system's event log. Each registration is
// the handle RegisterEventSourceW returns, kept in the table of
// registrations under an id of its own (source_table.h): the system may
// give a new registration the value of an ended one's handle, so a stale
// copy of a cleared registration must never reach it.
#include <windows.h>

#include <memory>
#include <new>
#include <utility>

#include "foundation/errors.h"
#include "logging/event_sink.h"
#include "logging/source_table.h"

namespace krCore::detail {
namespace {

// One registration with the system; ended by whoever lets go of it last.
struct system_source {
  explicit system_source(HANDLE registered) : handle(registered) {}
  ~system_source() {
    if (handle) DeregisterEventSource(handle);
  }
  system_source(const system_source&) = delete;
  system_source& operator=(const system_source&) = delete;
  HANDLE handle;
};

// Never destroyed: event loggers in static objects may deregister at exit.
source_table<system_source>& sources() {
  static auto* table = new source_table<system_source>;
  return *table;
}

}  // namespace

unsigned long register_event_source(const std::wstring& source, HANDLE* handle) {
  const HANDLE registered = RegisterEventSourceW(nullptr, source.c_str());
  if (!registered) return GetLastError();
  try {
    *handle = sources().add(std::make_shared<system_source>(registered));
    return 0;
  } catch (const std::bad_alloc&) {
    DeregisterEventSource(registered);
    return kErrorNotEnoughMemory;
  }
}

unsigned long deregister_event_source(HANDLE handle) {
  const std::shared_ptr<system_source> source = sources().remove(handle);
  if (!source) return kErrorInvalidHandle;
  // A report still sending through it ends the registration when it is
  // done; otherwise it ends here, with the system's answer.
  if (source.use_count() > 1) return 0;
  return DeregisterEventSource(std::exchange(source->handle, nullptr)) ? 0 : GetLastError();
}

unsigned long report_event(HANDLE handle, unsigned short type, unsigned short category,
                           unsigned long eventid, const std::wstring& text) {
  const std::shared_ptr<system_source> source = sources().find(handle);
  if (!source) return kErrorInvalidHandle;
  const wchar_t* strings[1] = {text.c_str()};
  return ReportEventW(source->handle, type, category, static_cast<DWORD>(eventid), nullptr, 1, 0,
                      strings, nullptr)
             ? 0
             : GetLastError();
}

}  // namespace krCore::detail
