// EasyThreadImpl: the worker thread with a wait loop and overridable hooks.
//
// The thread is started held at its start gate, so its id and handle are
// stored before it runs; the loop waits through the library's wait-any, so
// the stop event (index 0) wins over the wake-up event when both are
// signalled. Every hook runs as a guarded call: an exception is handed to
// the loop's se_exception_initializer and the loop goes on.
//
// A forced end that could not take the thread where it was (it stayed in
// the system's code) leaves it marked; the loop honours the mark each time
// a hook returns, so such a thread runs no further hook and touches its
// object no more. The destructor relies on that: it waits for a marked
// thread rather than free the object under it.
#include <krcore/diagnostics.h>
#include <krcore/threading.h>
#include <krcore/timing.h>


#include <cstdio>
#include <optional>
#include <sstream>

#include "foundation/process_calls.h"
#include "foundation/errors.h"
#include "diagnostics/guarded_call.h"
#include "logging/logsink.h"
#include "threading/native_thread.h"
#include "foundation/waitable.h"

namespace krCore {
namespace {

// The source name the exception analysis reports for this file.
constexpr const char* kFile = "EasyThread";

std::wstring hex(unsigned long code) {
  wchar_t buf[24];
  std::swprintf(buf, 24, L"%lx", code);
  return buf;
}

std::wstring seconds(double s) {
  std::wostringstream os;
  os << s;
  return os.str();
}

void log_line(unsigned level, const std::wstring& text) { detail::log_entry(level, text); }

// For the destructor, after a forced end answered that `thread` could not
// be ended where it was: it is marked and ends at its next return to the
// loop. Freeing the object before then would let it run on in freed memory,
// so the wait has no bound; a hook that never returns keeps the destructor
// waiting, as it would keep a plain stop.
void await_marked_end(HANDLE thread, unsigned long id) {
  if (!thread || detail::is_current_thread(id)) return;
  if (detail::log_enabled(detail::kLogError))
    log_line(detail::kLogError, L"EasyThreadImpl::~EasyThreadImpl() - thread [" +
                                    std::to_wstring(id) +
                                    L"] could not be ended; waiting for it to end as it returns "
                                    L"from its hook");
  detail::wait_any(&thread, 1, INFINITE);
}

}  // namespace

EasyThreadImpl::EasyThreadImpl() = default;

EasyThreadImpl::~EasyThreadImpl() {
  try {
    if (StopAndTerminate(30000).second != 0) await_marked_end(_thread.get(), _threadId.load());
  } catch (...) {  // a destructor must not throw; the logging path may
  }
  HoldThread(nullptr);
}

void EasyThreadImpl::HoldThread(void* handle) {
  _threadHandle.store(handle);
  if (handle)
    _thread.reset(handle, CloseHandleImpl);
  else
    _thread.reset();
}

int EasyThreadImpl::StartThread() {
  auto_lock lock(_lock);
  if (IsRunningImpl()) return 0;
  _started.exchange(1);
  _stopEvent.reset();

  DWORD id = 0;
  HANDLE handle = detail::create_thread_gated(&EasyThreadImpl::ThreadEntry, this, &id);
  const int error_number = detail::runtime_error_number();
  HoldThread(handle);
  if (!handle) {
    _threadId.store(0);
    if (detail::log_enabled(detail::kLogError))
      log_line(detail::kLogError, L"EasyThreadImpl::Start() - failed to start thread, errno [" +
                                      std::to_wstring(error_number) + L"]");
    throw w32_exception(L"EasyThreadImpl::Start() - failed to start thread",
                        detail::kErrorFunctionFailed);
  }
  _threadId.store(id);
  if (!detail::resume_thread(handle)) {
    const unsigned long error = ::GetLastError();
    if (detail::log_enabled(detail::kLogError))
      log_line(detail::kLogError, L"EasyThreadImpl::Start() - failed to resume thread, error [0x" +
                                      hex(error) + L"] " + geterrormessage(error));
    throw w32_exception(L"EasyThreadImpl::Start() - failed to resume thread", error);
  }
  return 1;
}

unsigned EasyThreadImpl::ThreadEntry(void* self) {
  std::optional<se_exception_initializer> guard;
  const unsigned long code = detail::make_thread_guard(guard, kFile);
  if (code != 0 || !guard) return static_cast<unsigned>(code);  // the thread's exit code
  detail::guarded_call(*guard, kFile, 164, [self] { static_cast<EasyThreadImpl*>(self)->Run(); });
  return 0;
}

void EasyThreadImpl::Run() {
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  detail::guarded_call(guard, kFile, 206, [this] { OnStart(); });

  std::vector<void*> handles;
  unsigned long long counter = 0;
  unsigned long result = 0;
  for (;;) {
    // Each return from the overridable calls is a point where a thread
    // marked for a forced end ends, before it touches the object again.
    detail::end_thread_if_killed();
    const unsigned long timeout = GetWaitTimeout_ms(counter);
    const unsigned int stop_index = BuildWaitArray(handles, counter);
    detail::end_thread_if_killed();
    const auto count = static_cast<DWORD>(handles.size());
    result = detail::wait_any(handles.data(), count, timeout);
    if (result == stop_index) break;
    if (result != detail::kWaitTimedOut && result >= count) break;  // failed or abandoned
    guard.clear();
    detail::guarded_call(guard, kFile, 231, [&] { OnWakeup(result, counter); });
    ++counter;
  }

  if (detail::log_enabled(detail::kLogNormal))
    log_line(detail::kLogNormal, L"EasyThreadImpl::Run - shutdown was signaled [" +
                                     std::to_wstring(result) + L"], counter [" +
                                     std::to_wstring(counter) + L"].");
  guard.clear();
  detail::end_thread_if_killed();
  detail::guarded_call(guard, kFile, 223, [&] { OnStop(result, counter); });
  std::vector<void*>().swap(handles);
}

unsigned long EasyThreadImpl::StopThread(unsigned long timeout_ms) {
  auto_lock lock(_lock);
  if (!_thread) {
    _stopEvent.signal();
    return 0;
  }
  _started.exchange(0);
  const unsigned long id = _threadId.load();
  if (detail::log_enabled(detail::kLogNormal))
    log_line(detail::kLogNormal, L"EasyThreadImpl::Stop() - requesting thread [" +
                                     std::to_wstring(id) + L"] to shutdown, wait [" +
                                     std::to_wstring(timeout_ms) + L"] ms");
  _stopEvent.signal();
  BestResStopwatch stopwatch(true);
  HANDLE thread = _thread.get();
  const unsigned long result = detail::wait_any(&thread, 1, timeout_ms);
  stopwatch.Stop();
  if (result == detail::kWaitObject0) {
    if (detail::log_enabled(detail::kLogNormal))
      log_line(detail::kLogNormal, L"EasyThreadImpl::Stop() - thread [" + std::to_wstring(id) +
                                       L"] completed after [" + seconds(stopwatch.Elapsed_s()) +
                                       L"] s");
    _threadId.store(0);
    HoldThread(nullptr);
  } else if (detail::log_enabled(detail::kLogError)) {
    log_line(detail::kLogError, L"EasyThreadImpl::Stop() - failed to shutdown thread [" +
                                    std::to_wstring(id) + L"] after [" +
                                    seconds(stopwatch.Elapsed_s()) + L"] s, wait [" +
                                    std::to_wstring(timeout_ms) + L"] ms, error [0x" + hex(result) +
                                    L"] " + geterrormessage(result));
  }
  return result;
}

std::pair<unsigned long, unsigned long> EasyThreadImpl::StopAndTerminate(unsigned long timeout_ms) {
  std::shared_ptr<void> thread;
  {
    auto_lock lock(_lock);
    thread = _thread;  // kept open through the stop and the forced end
  }
  const unsigned long result = StopThread(timeout_ms);
  unsigned long error = 0;
  if (result != 0) {
    if (detail::log_enabled(detail::kLogError))
      log_line(detail::kLogError,
               L"EasyThreadImpl::StopAndTerminate() - failed to stop thread, wait code [" +
                   std::to_wstring(result) + L"], terminating thread!");
    error = detail::terminate_thread(thread.get());
    if (error != 0 && detail::log_enabled(detail::kLogError))
      log_line(detail::kLogError,
               L"EasyThreadImpl::StopAndTerminate() - failed to terminate thread, error [" +
                   std::to_wstring(error) + L"], (0x" + hex(error) + L") - " +
                   geterrormessage(error));
  }
  return {result, error};
}

void EasyThreadImpl::Wakeup() { _wakeupEvent.signal(); }

bool EasyThreadImpl::IsRunning() {
  auto_lock lock(_lock);
  return IsRunningImpl();
}

bool EasyThreadImpl::IsRunningImpl() {
  return _thread && ::WaitForSingleObject(_thread.get(), 0) == detail::kWaitTimedOut;
}

bool EasyThreadImpl::IsStarted() const { return _started.load() != 0; }

void* EasyThreadImpl::GetHandle() { return _threadHandle.load(); }

unsigned long EasyThreadImpl::ThreadID() const { return _threadId.load(); }

unsigned long EasyThreadImpl::GetDefaultWaitTimeout() const { return _defaultWaitTimeout.load(); }

unsigned long EasyThreadImpl::SetDefaultWaitTimeout(unsigned long timeout_ms) {
  return _defaultWaitTimeout.exchange(detail::saturated_wait_ms(timeout_ms));
}

unsigned int EasyThreadImpl::BuildWaitArray(std::vector<void*>& handles,
                                            unsigned long long counter) {
  if (counter == 0) handles.reserve(handles.size() + 2);
  handles.clear();
  handles.push_back(static_cast<void*>(_stopEvent));
  handles.push_back(static_cast<void*>(_wakeupEvent));
  return 0;
}

void EasyThreadImpl::OnStart() {
  if (detail::log_enabled(detail::kLogVerbose))
    log_line(detail::kLogVerbose, L"EasyThreadImpl::OnStart()");
}

void EasyThreadImpl::OnWakeup(unsigned long wait_result, unsigned long long counter) {
  if (detail::log_enabled(detail::kLogVerbose))
    log_line(detail::kLogVerbose, L"EasyThreadImpl::OnWakeup() - wait result [" +
                                      std::to_wstring(wait_result) + L"], counter [" +
                                      std::to_wstring(counter) + L"].");
}

void EasyThreadImpl::OnStop(unsigned long wait_result, unsigned long long counter) {
  if (detail::log_enabled(detail::kLogVerbose))
    log_line(detail::kLogVerbose, L"EasyThreadImpl::OnExit() - wait result [" +
                                      std::to_wstring(wait_result) + L"], counter [" +
                                      std::to_wstring(counter) + L"].");
}

unsigned long EasyThreadImpl::GetWaitTimeout_ms(unsigned long long) {
  return _defaultWaitTimeout.load();
}

}  // namespace krCore
