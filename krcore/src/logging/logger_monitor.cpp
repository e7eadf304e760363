// The thread that follows the logging key: it waits for a change of the key
// (or of anything below it) together with the logger's shutdown event, and
// re-reads the settings at each change, so that an administrator's edit
// reaches every running process at once. While the key is missing (deleted,
// or replaced by an import that deletes it first), the thread watches the
// nearest existing key above it, so a key that comes back is applied at
// once; other failures are retried after a retry period.
//
// The thread talks to its logger directly and never through the singleton:
// the logger's destructor waits for this thread while the singleton's lock
// is held. That holds for everything it calls too (the folder creation of a
// new log file logs, for one), so the thread's library lines are bound to
// its own logger.
#include <krcore/diagnostics.h>
#include <krcore/logging.h>
#include <krcore/registry.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "diagnostics/guarded_call.h"
#include "foundation/waitable.h"
#include "logging/debug_output.h"
#include "logging/logger_config.h"
#include "logging/logsink.h"
#include "registry/reg_query.h"

namespace krCore {
namespace detail {
namespace {

std::atomic<DWORD> g_retryMs{15000};

}  // namespace

void set_registry_retry_ms(DWORD ms) { g_retryMs.store(ms); }
DWORD registry_retry_ms() { return g_retryMs.load(); }

}  // namespace detail

namespace {

void debug(const wchar_t* text) { detail::debug_output(std::wstring_view(text)); }

// A text with one "0x%x" code in it.
void debug_code(const char* pattern, LSTATUS code) {
  char text[200];
  std::snprintf(text, sizeof text, pattern, static_cast<unsigned>(code));
  detail::debug_output(std::string_view(text));
}

// Every change of names, attributes, values and security.
constexpr DWORD kAllChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                              REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

constexpr LSTATUS kFileNotFound = 2;
constexpr LSTATUS kKeyDeleted = 1018;

// The request for changes of names in the parent of a key. A request on
// the key itself may never complete when the key is deleted while the
// thread holds it open (Wine's registry completes it only once the last
// handle to the deleted key is closed), and a key made again is another
// key. A key is deleted only after everything below it, so every deletion
// of a key changes the names in its parent. The request is armed again
// only after it fired: on Windows each call adds a request that stays
// pending until the next change.
class parent_names {
 public:
  explicit parent_names(const wchar_t* subkey) {
    const std::wstring path(subkey);
    const std::size_t cut = path.rfind(L'\\');
    if (cut != std::wstring::npos && _parent.TryOpen(HKEY_LOCAL_MACHINE, path.substr(0, cut)) == 0)
      _event = detail::create_event(true, false, std::wstring());
  }
  ~parent_names() {
    if (_event) CloseHandle(_event);
  }
  parent_names(const parent_names&) = delete;
  parent_names& operator=(const parent_names&) = delete;

  // Arms the request unless it is pending; true while one is.
  bool arm() {
    if (_event && !_pending)
      _pending =
          RegNotifyChangeKeyValue(_parent.Key(), 0, REG_NOTIFY_CHANGE_NAME, _event, 1) == 0;
    return _pending;
  }
  HANDLE event() const { return _event; }

 private:
  RegQuery _parent;
  HANDLE _event = nullptr;
  bool _pending = false;
};

// True when `key` was deleted while it was held open. Any call on such a
// handle fails with 1018; a value's name is the cheapest to ask for.
bool key_deleted(HKEY key) {
  wchar_t name[2];
  DWORD size = 2;
  return RegEnumValueW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) == kKeyDeleted;
}

// Waits for the end of the retry period after the logging key could not be
// opened or watched with `failure`; true when `shutdown` was signalled
// instead. A key that is missing is waited for more closely: a change of
// names in the nearest existing key above it ends the wait early (each key
// on the way back is made in its parent, so the next round watches one
// level lower), and so does finding the next level back already.
bool wait_for_retry(HANDLE shutdown, const wchar_t* subkey, LSTATUS failure) {
  const DWORD retry = detail::registry_retry_ms();
  if (failure != kFileNotFound && failure != kKeyDeleted)
    return WaitForSingleObject(shutdown, retry) == 0;
  // `below` is the missing key under `above` on the way to the logging key.
  std::wstring above(subkey), below;
  RegQuery parent;
  for (;;) {
    below = above;
    const std::size_t cut = above.rfind(L'\\');
    above.erase(cut == std::wstring::npos ? 0 : cut);
    if (parent.TryOpen(HKEY_LOCAL_MACHINE, above) == 0 || above.empty()) break;
  }
  // The key watched here may be deleted in turn (a tree is deleted from
  // the bottom up), which only its own parent sees. That parent is watched
  // first and the key opened again after, so a deletion at any moment is
  // seen: by that request, or by the second open failing.
  parent_names above_parent(above.c_str());
  const bool above_watched = above_parent.arm();
  if (parent.IsOpen() && parent.TryOpen(HKEY_LOCAL_MACHINE, above) != 0) return false;
  HANDLE change = detail::create_event(true, false, std::wstring());
  const LSTATUS armed =
      change && parent.IsOpen()
          ? RegNotifyChangeKeyValue(parent.Key(), 0, REG_NOTIFY_CHANGE_NAME, change, 1)
          : kFileNotFound;
  bool stop = false;
  if (armed == 0) {
    // Made since it was found missing, that key may already hold the
    // logging key (or the next level down): the next round looks again.
    RegQuery back;
    if (back.TryOpen(HKEY_LOCAL_MACHINE, below) != 0) {
      HANDLE handles[3] = {shutdown, change, above_parent.event()};
      stop = WaitForMultipleObjects(above_watched ? 3 : 2, handles, 0, retry) == 0;
    }
  } else if (armed != kKeyDeleted) {
    // Deleted between its opening and the request, the key above is looked
    // for again at once; other failures wait, still woken by the level
    // above.
    HANDLE handles[2] = {shutdown, above_parent.event()};
    stop = WaitForMultipleObjects(above_watched ? 2 : 1, handles, 0, retry) == 0;
  }
  if (change) CloseHandle(change);
  return stop;
}

}  // namespace

unsigned logger::logging_monitor_func(void* param) {
  auto* self = static_cast<logger*>(param);
  if (!self || !static_cast<void*>(self->_shutdownEvent)) return 87;
  const detail::thread_log_target own_logger(self);
  std::optional<se_exception_initializer> guard;
  if (const unsigned long code = detail::make_thread_guard(guard, "logger::logging_monitor_func"))
    return static_cast<unsigned>(code);  // the start sees the thread end
  HANDLE shutdown = self->_shutdownEvent;
  // Set once the key was lost: changes made while it was not watched are
  // read as soon as it is watched again.
  bool unwatched = false;
  for (;;) {
    debug(L"logger::loggingmonitorfunc() will check to see if registry key for logging exists\r\n");
    RegQuery key;
    LSTATUS rc = key.TryOpen(HKEY_LOCAL_MACHINE, REG_SUBKEY_KRLOGGING);
    while (rc != 0) {
      unwatched = true;
      debug_code("logger::loggingmonitorfunc() upper loop regkey.Open() returned Error Code: 0x%x\r\n",
                 rc);
      self->_monitorReady.signal();
      if (wait_for_retry(shutdown, REG_SUBKEY_KRLOGGING, rc)) {
        debug(L"logger::loggingmonitorfunc() upper wfso indicates we need to shutdown.\r\n");
        return 0;
      }
      rc = key.TryOpen(HKEY_LOCAL_MACHINE, REG_SUBKEY_KRLOGGING);
      if (rc != 0)
        debug_code(
            "logger::loggingmonitorfunc() second attempt to open logging registry key failed with "
            "error code: 0x%x\r\n",
            rc);
    }
    debug(
        L"logger::loggingmonitorfunc() opened logging key and will do "
        L"RegNotifyChangeKeyValue().\r\n");
    HANDLE change = detail::create_event(true, false, std::wstring());
    parent_names parent(REG_SUBKEY_KRLOGGING);
    bool reopen = false;
    rc = RegNotifyChangeKeyValue(key.Key(), 1, kAllChanges, change, 1);
    while (rc == 0) {
      const bool parent_watched = parent.arm();
      // A deletion before the parent was watched is seen by neither
      // request, so the key itself is asked once the parent is watched.
      if (key_deleted(key.Key())) {
        reopen = true;
        break;
      }
      DWORD woken = 1;
      self->_monitorReady.signal();
      if (!unwatched) {
        HANDLE handles[3] = {shutdown, change, parent.event()};
        woken = WaitForMultipleObjects(parent_watched ? 3 : 2, handles, 0, INFINITE);
      }
      if (woken == 0) {
        debug(L"logger::loggingmonitorfunc() lower wfso indicates we need to shutdown.\r\n");
        CloseHandle(change);
        return 0;
      }
      if (woken == 2) {
        // The key may have been deleted, or deleted and made again: the
        // key is opened anew by its name and read at once.
        reopen = true;
        break;
      }
      if (!unwatched) {
        // A request completes once. The next is made before the settings
        // are read, so that a change made during the reading or right
        // after it completes that one; the event is reset first, so such
        // a change is not reset away.
        detail::reset_event(change);
        rc = RegNotifyChangeKeyValue(key.Key(), 1, kAllChanges, change, 1);
      }
      unwatched = false;
      try {
        self->read_regsettings();
        self->log_logsettings(L"registry change", log_verbose);
      } catch (const w32_exception& e) {
        detail::debug_output(
            L"logger::logging_monitor_func failed to read log settings from registry with error [" +
            std::to_wstring(e.code) + L"L], " + e.description() + L"\r\n");
      } catch (const krException& e) {
        detail::debug_output(
            L"logger::logging_monitor_func failed to read log settings from registry with error [" +
            std::to_wstring(e.code()) + L"L], " + e.whatwide() + L"\r\n");
      } catch (...) {
        // Anything else (an allocation failure, say) is analysed and the
        // thread goes on watching: the key may be right again at its next
        // change, and a process must not end over its logging settings.
        guard->Analyze("logger_monitor", 110);
      }
    }
    unwatched = true;
    if (reopen) {
      debug(L"logger::loggingmonitorfunc() names under the logging key's parent changed.\r\n");
      CloseHandle(change);
      continue;
    }
    debug_code("logger::loggingmonitorfunc() RegNotifyChangeKeyValue() returned Error Code: 0x%x\r\n",
               rc);
    self->_monitorReady.signal();
    const bool stop = wait_for_retry(shutdown, REG_SUBKEY_KRLOGGING, rc);
    CloseHandle(change);
    if (stop) return 0;
  }
}

void logger::stop_registry_monitoring() {
  if (!_monitorThread) return;
  _shutdownEvent.signal();
  WaitForSingleObject(_monitorThread, INFINITE);
  CloseHandle(_monitorThread);
  _monitorThread = nullptr;
}

}  // namespace krCore
