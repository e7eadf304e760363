// The event sink on Linux: each registered source is a connection to the
// system log, kept in a table under an id that serves as its handle.
//
// Handles are never reused, so a stale copy of a cleared registration finds
// nothing and gets the invalid-handle code, as on a system with real event
// source handles. A report holds its source by reference count while it
// sends, so a concurrent deregistration cannot pull the socket from under it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "foundation/errors.h"
#include "logging/event_sink.h"
#include "foundation/utf.h"
#include "logging/linux/syslog.h"

namespace krCore::detail {
namespace {

struct event_source {
  event_source(const std::wstring& source)
      : name(source), tag(syslog_tag(source)), connection(syslog_socket_path()) {}
  const std::wstring name;
  const std::string tag;
  syslog_connection connection;
};

class source_table {
 public:
  HANDLE add(std::shared_ptr<event_source> source) {
    std::lock_guard<std::mutex> lock(_mutex);
    const std::uintptr_t id = _next++;
    _sources.emplace(id, std::move(source));
    return reinterpret_cast<HANDLE>(id);
  }
  std::shared_ptr<event_source> find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto it = _sources.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == _sources.end() ? nullptr : it->second;
  }
  bool remove(HANDLE handle) {
    std::lock_guard<std::mutex> lock(_mutex);
    return _sources.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0;
  }

 private:
  std::mutex _mutex;
  std::uintptr_t _next = 1;
  std::unordered_map<std::uintptr_t, std::shared_ptr<event_source>> _sources;
};

// Never destroyed: event loggers in static objects may deregister at exit.
source_table& sources() {
  static source_table* table = new source_table;
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
