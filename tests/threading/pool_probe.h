// Work items for the pool tests: an item that counts its runs and runs a
// body given by the test, and a gate that holds bodies until it opens.
#pragma once

#include <krcore/threading.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#endif

#include <atomic>
#include <functional>
#include <utility>

#include "probe_thread.h"

namespace pooltest {

using threadtest::kStepMs;
using threadtest::signalled;

// How many processors this process may run on.
inline int usable_processors() {
#if defined(_WIN32)
  DWORD_PTR process = 0, system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return 1;
  int count = 0;
  for (; process; process &= process - 1) ++count;
  return count;
#else
  cpu_set_t usable;
  return ::sched_getaffinity(0, sizeof usable, &usable) == 0 ? CPU_COUNT(&usable) : 1;
#endif
}

class probe_work : public krCore::threadwork {
 public:
  explicit probe_work(std::function<void()> body = {}) : _body(std::move(body)) {}
  void Execute() override {
    thread_id = static_cast<long>(threadtest::current_thread_id());
    runs.fetch_add(1);
    if (_body) _body();
  }
  // The completion event is signalled now (or within `ms`).
  bool completed(unsigned long ms = 0) { return signalled(GetCompleteHandle(), ms); }

  std::atomic<int> runs{0};
  std::atomic<long> thread_id{0};

 private:
  std::function<void()> _body;
};

// Holds the bodies that pass() it until it opens; each adds a unit to
// `entered`, so a test waits once per body that reached the gate.
// Opens when it goes out of scope, so declared after the pool it frees the
// pool's threads before the pool's destructor waits for them.
struct gate {
  krCore::manualresetevent open;
  krCore::semaphore entered{1000, 0, std::wstring()};
  ~gate() { open.signal(); }
  std::function<void()> pass() {
    return [this] {
      entered.release(1);
      ::WaitForSingleObject(open, INFINITE);
    };
  }
};

}  // namespace pooltest
