// Work items for the pool tests: an item that counts its runs and runs a
// body given by the test, and a gate that holds bodies until it opens.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <krcore/threading.h>

#include <atomic>
#include <functional>
#include <utility>

#include "probe_thread.h"

namespace pooltest {

using threadtest::kStepMs;
using threadtest::signalled;

class probe_work : public krCore::threadwork {
 public:
  explicit probe_work(std::function<void()> body = {}) : _body(std::move(body)) {}
  void Execute() override {
    thread_id = static_cast<long>(::syscall(SYS_gettid));
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
