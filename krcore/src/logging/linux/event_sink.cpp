// The event sink on Linux: each registered source is a connection to the
// system log, kept in a table under an id that serves as its handle.
//
// The table of registrations (source_table.h) refuses stale handles and
// keeps a source alive while a report sends through it.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>

#include "foundation/errors.h"
#include "logging/event_sink.h"
#include "foundation/utf.h"
#include "logging/linux/syslog.h"
#include "logging/source_table.h"

namespace krCore::detail {
namespace {

struct event_source {
  event_source(const std::wstring& source)
      : name(source), tag(syslog_tag(source)), connection(syslog_socket_path()) {}
  const std::wstring name;
  const std::string tag;
  syslog_connection connection;
};

// Never destroyed: event loggers in static objects may deregister at exit.
source_table<event_source>& sources() {
  static auto* table = new source_table<event_source>;
  return *table;
}

int severity_of(unsigned short type) {
  switch (type) {
    case 1:   // error
    case 16:  // audit failure
      return kSyslogErr;
    case 2:
      return kSyslogWarning;
    default:
      return kSyslogInfo;
  }
}

// The fields of the event that the system log has no place for travel in
// front of the text: [source="…" type=T category=C eventid=0x…].
std::string event_message(const std::wstring& source, unsigned short type, unsigned short category,
                          unsigned long eventid, const std::wstring& text) {
  std::string quoted;
  for (char c : utf8_from_wide(source)) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  char ids[96];
  std::snprintf(ids, sizeof ids, "\" type=%u category=%u eventid=0x%08lX] ", type, category,
                eventid & 0xFFFFFFFFul);
  return "[source=\"" + quoted + ids + utf8_from_wide(text);
}

}  // namespace

unsigned long register_event_source(const std::wstring& source, HANDLE* handle) {
  try {
    auto registration = std::make_shared<event_source>(source);
    const unsigned long error = registration->connection.connect();
    if (error != 0) return error;
    *handle = sources().add(std::move(registration));
    return 0;
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
}

unsigned long deregister_event_source(HANDLE handle) {
  return sources().remove(handle) ? kErrorSuccess : kErrorInvalidHandle;
}

unsigned long report_event(HANDLE handle, unsigned short type, unsigned short category,
                           unsigned long eventid, const std::wstring& text) {
  try {
    const std::shared_ptr<event_source> source = sources().find(handle);
    if (!source) return kErrorInvalidHandle;
    const std::string datagram =
        syslog_datagram(kSyslogFacilityDaemon, severity_of(type), source->tag, ::getpid(),
                        event_message(source->name, type, category, eventid, text));
    return source->connection.send(datagram);
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
}

}  // namespace krCore::detail
