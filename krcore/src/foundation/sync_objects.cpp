// The mutex, semaphore and event classes over the library's handles, their
// exceptions, and the handle deleters.
//
// Creation failures throw with the object's name as the message; operations
// on a live object log a failure line and report it through their result,
// because they run inside loops (worker threads, pools) that must go on.
#include <krcore/foundation.h>

#include <cstdio>

#include "foundation/errors.h"
#include "logging/logsink.h"
#include "foundation/waitable.h"

namespace krCore {
namespace {

bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

std::wstring hex(unsigned long code) {
  wchar_t buf[24];
  std::swprintf(buf, 24, L"%lx", code);
  return buf;
}

// "<code>], (0x<hex>) - <system text>": the tail shared by the failure lines
// that carry a system text.
std::wstring code_and_text(unsigned long code) {
  return std::to_wstring(code) + L"], (0x" + hex(code) + L") - " + geterrormessage(code);
}

void log_error(const std::wstring& text) { detail::log_entry(detail::kLogError, text); }

// Replaces the handle held in `slot`, closing a different valid one.
void hold(HANDLE& slot, HANDLE h) {
  if (slot == h) return;
  if (valid(slot)) ::CloseHandle(slot);
  slot = h;
}

}  // namespace

mutexException::mutexException() = default;
mutexException::mutexException(const std::wstring& message) : se_translator::exception(message) {}
mutexException::mutexException(const mutexException& other) = default;
semaphore_exception::semaphore_exception(const std::wstring& message)
    : se_translator::exception(message) {}
semaphore_exception::semaphore_exception(const semaphore_exception& other) = default;
eventexception::eventexception(const std::wstring& message) : se_translator::exception(message) {}
eventexception::eventexception(const eventexception& other) = default;

// ---------------------------------------------------------------------------
// mutex
// ---------------------------------------------------------------------------

mutex::mutex() { Create(true, std::wstring()); }
mutex::mutex(const std::wstring& name) { Create(true, name); }
mutex::mutex(bool initial_owner, const std::wstring& name) { Create(initial_owner, name); }

mutex::~mutex() {
  if (valid(_handle)) ::CloseHandle(_handle);
}

void mutex::Create(bool initial_owner, const std::wstring& name) {
  if (&name != &_name) _name = name;
  HANDLE h = detail::create_mutex(initial_owner, _name);
  unsigned long error = ::GetLastError();
  _own = true;
  bool opened = false;
  if (error == detail::kErrorAlreadyExists) {
    _own = false;
  } else if (error == detail::kErrorAccessDenied) {
    h = detail::open_mutex(_name);
    error = ::GetLastError();
    opened = true;
    _own = false;
  }
  if (!h) {
    if (detail::log_enabled(detail::kLogError))
      log_error(L"mutex - failed to create/open [" + _name + L"], error [0x" + hex(error) +
                L"], OpenMutex flag [" + (opened ? L"1" : L"0") + L"]");
    throw mutexException(_name);
  }
  hold(_handle, h);
}

bool mutex::aquire(long milliseconds) {
  // Negative values are taken as their 32-bit image (-1 is INFINITE). One
  // of the library's own waits: it holds none of the library's locks.
  const DWORD r = detail::wait_any(
      &_handle, 1,
      milliseconds < 0 ? static_cast<DWORD>(milliseconds)
                       : detail::saturated_wait_ms(static_cast<unsigned long>(milliseconds)));
  if (r == detail::kWaitObject0) return true;
  if (r == detail::kWaitTimedOut) return false;
  if (r == detail::kWaitAbandoned0) {
    if (detail::log_enabled(detail::kLogError))
      log_error(L"Mutex wait abandoned [" + _name + L"], error [0x80]");
    throw mutexException(L"Mutex abandoned");
  }
  if (detail::log_enabled(detail::kLogError))
    log_error(L"Mutex wait failed [" + _name + L"], error [0x" + hex(r) + L"]");
  throw mutexException(L"Mutex wait failed");
}

unsigned long mutex::release() {
  if (detail::release_mutex(_handle)) return 0;
  const unsigned long error = ::GetLastError();
  if (detail::log_enabled(detail::kLogError))
    log_error(L"Mutex release failed [" + _name + L"], error [0x" + hex(error) + L"]");
  return error;
}

// ---------------------------------------------------------------------------
// semaphore
// ---------------------------------------------------------------------------

semaphore::semaphore(long maximum, long initial, const std::wstring& name) {
  _handle = detail::create_semaphore(initial, maximum, name);
  if (!_handle) throw semaphore_exception(name);
}

semaphore::~semaphore() {
  if (valid(_handle)) ::CloseHandle(_handle);
}

bool semaphore::release(long count) { return detail::release_semaphore(_handle, count, nullptr); }

// ---------------------------------------------------------------------------
// events
// ---------------------------------------------------------------------------

eventbase::~eventbase() {
  if (valid(_handle)) ::CloseHandle(_handle);
}

void eventbase::attach(void* handle) { hold(_handle, handle); }

namespace {

// Creation shared by both event classes; `cls` names the class in the line.
HANDLE construct_event(const wchar_t* cls, bool manual, bool signalled, const std::wstring& name) {
  HANDLE h = detail::create_event(manual, signalled, name);
  if (!h) {
    const unsigned long error = ::GetLastError();
    if (detail::log_enabled(detail::kLogError))
      log_error(std::wstring(cls) + L"::Construct() - CreateEvent() failed, name[" + name +
                L"], error [" + code_and_text(error));
    throw eventexception(name);
  }
  return h;
}

// Runs one event operation; logs `line` with the error when it fails.
void event_op(bool (*op)(HANDLE), HANDLE h, const wchar_t* line) {
  if (op(h)) return;
  const unsigned long error = ::GetLastError();
  if (detail::log_enabled(detail::kLogError)) log_error(line + code_and_text(error));
}

}  // namespace

autoresetevent::autoresetevent() { Construct(false, std::wstring()); }
autoresetevent::autoresetevent(const std::wstring& name) { Construct(false, name); }
autoresetevent::autoresetevent(bool signalled, const std::wstring& name) {
  Construct(signalled, name);
}
void autoresetevent::Construct(bool signalled, const std::wstring& name) {
  attach(construct_event(L"autoresetevent", false, signalled, name));
}
void autoresetevent::signal() {
  event_op(detail::set_event, _handle, L"autoresetevent::signal() - SetEvent() failed, error [");
}
void autoresetevent::reset() {
  event_op(detail::reset_event, _handle, L"autoresetevent::reset() - ResetEvent() failed, error [");
}
void autoresetevent::pulse() {
  event_op(detail::pulse_event, _handle, L"autoresetevent::pulse() - PulseEvent() failed, error [");
}

manualresetevent::manualresetevent() { Construct(false, std::wstring()); }
manualresetevent::manualresetevent(const std::wstring& name) { Construct(false, name); }
manualresetevent::manualresetevent(bool signalled, const std::wstring& name) {
  Construct(signalled, name);
}
void manualresetevent::Construct(bool signalled, const std::wstring& name) {
  attach(construct_event(L"manualresetevent", true, signalled, name));
}
void manualresetevent::signal() {
  event_op(detail::set_event, _handle, L"manualresetevent::signal() - SetEvent() failed, error [");
}
void manualresetevent::reset() {
  event_op(detail::reset_event, _handle,
           L"manualresetevent::reset() - ResetEvent() failed, error [");
}

// ---------------------------------------------------------------------------
// Handle deleters
// ---------------------------------------------------------------------------

void CloseHandleImpl(void* handle) {
  if (!valid(handle) || ::CloseHandle(handle)) return;
  try {
    const unsigned long error = ::GetLastError();
    if (detail::log_enabled(detail::kLogError))
      log_error(L"CloseHandleImpl - failed to close handle, error [" + code_and_text(error));
  } catch (...) {  // a deleter must not throw
  }
}

void NoCloseHandleImpl(void*) {}

}  // namespace krCore
