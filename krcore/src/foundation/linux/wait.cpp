// The wait for any one of several objects, and the platform-named calls
// built on it.
//
// A wait first scans its objects in index order and takes the first that is
// ready, so the lowest index wins and exactly one object is consumed. When
// none is ready it counts itself as a waiter on every object, records the
// word values to sleep on, scans once more (anything signalled after the
// recording changes a word and ends the sleep at once) and sleeps on all
// words with futex_waitv until a word changes or the deadline passes. A
// woken waiter that leaves other objects ready passes their wakes on, so a
// wake meant for one unit is never lost to a waiter that did not use it.
#include <time.h>

#include <krcore/foundation.h>

#include <cerrno>
#include <optional>

#include "foundation/errors.h"
#include "foundation/waitable.h"
#include "foundation/linux/object.h"
#include "threading/linux/thread_native.h"

namespace krCore::detail {
namespace {

thread_local DWORD t_last_error = 0;

// Polling slice for objects whose owner's end the kernel cannot report.
constexpr long kPollSliceMs = 10;

struct timespec now_plus(DWORD ms) {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

bool before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Holds the objects of one wait (one reference each) and its waiter counts.
class wait_set {
 public:
  wait_set(const HANDLE* handles, DWORD count) : _count(count) {
    for (DWORD i = 0; i < count; ++i) {
      _objects[i] = _refs[i].emplace(handles[i]).get();
      if (!_objects[i]) {
        _valid = false;
        return;
      }
    }
  }
  ~wait_set() {
    if (_announced)
      for (DWORD i = 0; i < _count; ++i) _objects[i]->waiters().fetch_sub(1);
  }
  bool valid() const { return _valid; }

  // The first object that is ready, taken; kWaitTimedOut when none.
  DWORD scan() {
    for (DWORD i = 0; i < _count; ++i) {
      switch (_objects[i]->try_take()) {
        case take_result::taken: return i;
        case take_result::abandoned: return kWaitAbandoned0 + i;
        case take_result::busy: break;
      }
    }
    return kWaitTimedOut;
  }

  void announce() {
    if (_announced) return;
    _announced = true;
    for (DWORD i = 0; i < _count; ++i) _objects[i]->waiters().fetch_add(1, std::memory_order_seq_cst);
  }

  // Records what to sleep on; false when some object may be ready already.
  bool prepare(bool& poll) {
    poll = false;
    for (DWORD i = 0; i < _count; ++i) {
      if (!_objects[i]->prepare(_slots[i])) return false;
      poll = poll || _slots[i].poll;
    }
    return true;
  }

  int sleep(const struct timespec* deadline) { return futex_wait_slots(_slots, _count, deadline); }

  // After a sleep ended by a wake: every other object that is ready may have
  // sent its wake to us too (a sleeper stays queued on all words until it
  // runs), so each passes its wake on to another waiter.
  void pass_wakes(DWORD taken) {
    for (DWORD i = 0; i < _count; ++i)
      if (i != taken && _objects[i]->waiters().load() > 1) _objects[i]->pass_wake();
  }

 private:
  DWORD _count;
  std::optional<handle_ref> _refs[kMaximumWaitObjects];
  bool _valid = true;
  bool _announced = false;
  waitable* _objects[kMaximumWaitObjects] = {};
  sleep_slot _slots[kMaximumWaitObjects] = {};
};

// Gives back what a wait holds for a thread that was ended by force while it
// slept in it: a wake it received but never used is passed on first.
void abandon_wait(void* set) {
  auto* s = static_cast<wait_set*>(set);
  s->pass_wakes(kMaximumWaitObjects);
  s->~wait_set();
}

}  // namespace

DWORD wait_any(const HANDLE* handles, DWORD count, unsigned long long timeout) {
  const DWORD timeout_ms = saturated_wait_ms(timeout);
  if (count == 0 || count > kMaximumWaitObjects || !handles) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  wait_set set(handles, count);
  if (!set.valid()) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  DWORD result = set.scan();
  if (result != kWaitTimedOut || timeout_ms == 0) return result;

  const bool infinite = timeout_ms == INFINITE;
  const struct timespec deadline = infinite ? timespec{} : now_plus(timeout_ms);
  set.announce();
  bool woken = false;  // the last sleep ended by a wake
  for (;;) {
    bool poll = false;
    const bool can_sleep = set.prepare(poll);
    result = set.scan();
    if (result != kWaitTimedOut) break;
    if (!can_sleep) continue;
    woken = false;
    struct timespec limit = deadline;
    if (poll) {
      const struct timespec slice = now_plus(kPollSliceMs);
      if (infinite || before(slice, deadline)) limit = slice;
    }
    int r;
    {
      // Nothing is locked here, so a forced end may take the thread.
      const safe_sleep sleeping{&abandon_wait, &set};
      safe_sleep_scope scope(&sleeping);
      r = set.sleep(infinite && !poll ? nullptr : &limit);
    }
    if (r >= 0) {
      woken = true;
    } else if (errno == ETIMEDOUT) {
      struct timespec now;
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      if (!infinite && !before(now, deadline)) return kWaitTimedOut;
    } else if (errno != EAGAIN && errno != EINTR) {
      SetLastError(last_errno_as_win32());
      return kWaitFailed;
    }
  }
  if (woken) set.pass_wakes(result >= kWaitAbandoned0 ? result - kWaitAbandoned0 : result);
  return result;
}

}  // namespace krCore::detail

using namespace krCore::detail;

extern "C" {

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD code) { t_last_error = code; }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return wait_any(&handle, 1, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (wait_all) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  return wait_any(handles, count, milliseconds);
}

BOOL CloseHandle(HANDLE handle) { return close_handle(handle) ? 1 : 0; }

}  // extern "C"
