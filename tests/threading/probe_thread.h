// A worker thread whose hooks record what they saw and signal events, so the
// tests can wait for each step instead of sleeping; hooks can be given extra
// behaviour per test.
#pragma once

#include <krcore/threading.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace threadtest {

// Generous bound for a step that should take microseconds.
constexpr unsigned long kStepMs = 10000;

// The system's id of the calling thread, as ThreadID() reports it.
inline unsigned long current_thread_id() {
#if defined(_WIN32)
  return ::GetCurrentThreadId();
#else
  return static_cast<unsigned long>(::syscall(SYS_gettid));
#endif
}

// The calling process's id.
inline unsigned long process_id() {
#if defined(_WIN32)
  return ::GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getpid());
#endif
}

inline bool signalled(void* handle, unsigned long ms = kStepMs) {
  return ::WaitForSingleObject(handle, ms) == 0;
}

class probe_thread : public krCore::EasyThreadImpl {
 public:
  typedef std::pair<unsigned long, unsigned long long> call;

  // Runs inside OnWakeup before it records the call (may block or throw).
  std::function<void(unsigned long, unsigned long long)> on_wakeup;
  std::function<void()> on_start;

  krCore::manualresetevent started;  // OnStart ran
  krCore::autoresetevent woke;       // an OnWakeup call returned or threw
  krCore::manualresetevent stopped;  // OnStop ran
  std::atomic<bool> id_known_at_start{false};

  ~probe_thread() override { StopAndTerminate(kStepMs); }

  std::vector<call> wakeups() {
    std::lock_guard<std::mutex> g(_m);
    return _wakeups;
  }
  call stop_call() {
    std::lock_guard<std::mutex> g(_m);
    return _stop;
  }
  // The stop event, as the loop sees it (index 0 of the wait array).
  void* stop_event() {
    std::vector<void*> handles;
    BuildWaitArray(handles, 0);
    return handles[0];
  }

 protected:
  void OnStart() override {
    id_known_at_start = ThreadID() == current_thread_id() && GetHandle() != nullptr;
    started.signal();
    if (on_start) on_start();
  }
  void OnWakeup(unsigned long result, unsigned long long counter) override {
    struct signal_on_exit {
      krCore::autoresetevent& e;
      ~signal_on_exit() { e.signal(); }
    } done{woke};
    {
      std::lock_guard<std::mutex> g(_m);
      _wakeups.emplace_back(result, counter);
    }
    if (on_wakeup) on_wakeup(result, counter);
  }
  void OnStop(unsigned long result, unsigned long long counter) override {
    {
      std::lock_guard<std::mutex> g(_m);
      _stop = {result, counter};
    }
    stopped.signal();
  }

 private:
  std::mutex _m;
  std::vector<call> _wakeups;
  call _stop{~0ul, ~0ull};
};

}  // namespace threadtest
