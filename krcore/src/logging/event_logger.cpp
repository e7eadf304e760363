// The event logger: one event-source registration, reports through it, and
// the mirror of each step in the process log.
#include <krcore/logging.h>

#include <new>
#include <sstream>

#include "foundation/compiler.h"
#include "foundation/errors.h"
#include "logging/event_sink.h"
#include "logging/logsink.h"

namespace krCore {

const std::wstring EventLogger_t::_AppLogName = L"Application";
const std::wstring EventLogger_t::_AppErrorLogName = L"Application Error";
const std::wstring EventLogger_t::_QMILogName = L"Vantrel Agent";

namespace {

// One process-log entry of `level` made of `parts`, built only when the
// level passes.
template <class... Parts>
void mirror(logger::log_levels level, const Parts&... parts) {
  if (!detail::log_enabled(level)) return;
  std::wostringstream os;
  (os << ... << parts);
  detail::log_entry(level, os.str());
}

}  // namespace

EventLogger_t::EventLogger_t() : EventLogger_t(std::wstring()) {}

EventLogger_t::EventLogger_t(const std::wstring& source) {
  const std::wstring& name = source.empty() ? _AppLogName : source;
  _lastError = detail::register_event_source(name, &_hEventLog);
  if (_lastError != 0) {
    _hEventLog = nullptr;
    mirror(logger::log_error, L"EventLogger_t() - failed to RegisterEventSource [", source,
           L"], error [", _lastError, L"]");
  }
}

EventLogger_t::~EventLogger_t() { Clear(); }

EventLogger_t& EventLogger_t::operator=(const EventLogger_t& other) = default;

void EventLogger_t::Clear() {
  if (!_hEventLog) return;
  const unsigned long error = detail::deregister_event_source(_hEventLog);
  _hEventLog = nullptr;
  if (error == 0) return;
  _lastError = error;
  mirror(logger::log_error, L"EventLogger_t::Clear() - failed to DeregisterEventSource, error [",
         error, L"]");
}

unsigned long EventLogger_t::ReportEventW(const std::wstring& text, unsigned short type,
                                          unsigned short category, unsigned long eventid) {
  try {
    mirror(logger::log_normal, L"krCore::EventLogger_t::ReportEventW", L" - event string [", text,
           L"], type [", type, L"]");
    if (!_hEventLog) {
      if (_lastError == 0) _lastError = detail::kErrorInvalidHandle;
      return _lastError;
    }
    _lastError = 0;
    const unsigned long error = detail::report_event(_hEventLog, type, category, eventid, text);
    if (error != 0) {
      _lastError = error;
      mirror(logger::log_error, L"EventLogger_t::ReportEvent() - failed to ReportEvent [", text,
             L"], error [", error, L"]");
      return _lastError;
    }
    mirror(GetLogLevel(type),
           L"EventLogger_t::ReportEvent() - successfully wrote event log message: [", text, L"]");
  }
  KRCORE_PASS_THREAD_END
  catch (const std::bad_alloc&) {
    _lastError = detail::kErrorNotEnoughMemory;  // the only failure the mirror can have
  }
  return _lastError;
}

void EventLogger_t::ReportInfo(const std::wstring& text) { ReportEventW(text, 4, 0, 0x40000065); }
void EventLogger_t::ReportWarning(const std::wstring& text) {
  ReportEventW(text, 2, 0, 0x80000066);
}
void EventLogger_t::ReportError(const std::wstring& text) { ReportEventW(text, 1, 0, 0xC0000067); }

EventLogger_t::log_levels EventLogger_t::GetLogLevel(unsigned short type) {
  switch (type) {
    case 0:
    case 4:
    case 8:
      return logger::log_normal;
    case 2:
      return logger::log_warning;
    default:
      return logger::log_error;
  }
}

}  // namespace krCore
