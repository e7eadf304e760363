// The worker thread: IEasyThread and EasyThreadImpl, one platform thread
// that runs a wait loop and calls a derived class's hooks. The command
// scheduler and most of the agent's long-running components are built on it.
#pragma once

#include <krcore/export.h>
#include <krcore/sync.h>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

namespace krCore {

// A worker thread: one platform thread that runs a wait loop with hooks.
// EasyThreadImpl is its one implementation; the thread-safety, lifetime and
// errors of every call are described there.
class KRCORE_API IEasyThread {
 public:
  virtual ~IEasyThread() {}
  virtual int StartThread() = 0;
  virtual unsigned long StopThread(unsigned long timeout_ms) = 0;
  virtual void Wakeup() = 0;
  virtual bool IsRunning() = 0;
  virtual bool IsStarted() const = 0;
  virtual void* GetHandle() = 0;
  virtual unsigned long ThreadID() const = 0;
  virtual unsigned long GetDefaultWaitTimeout() const = 0;
  virtual unsigned long SetDefaultWaitTimeout(unsigned long timeout_ms) = 0;

 protected:
  virtual void Run() = 0;
  virtual unsigned int BuildWaitArray(std::vector<void*>& handles,
                                      unsigned long long counter) = 0;
  virtual void OnStart() = 0;
  virtual void OnWakeup(unsigned long wait_result, unsigned long long counter) = 0;
  virtual void OnStop(unsigned long wait_result, unsigned long long counter) = 0;
  virtual unsigned long GetWaitTimeout_ms(unsigned long long counter) = 0;
};

// A thread that sleeps until it is woken, its time-out passes or it is told
// to stop, and calls its hooks: OnStart once, OnWakeup after every wait that
// did not end the loop (with the wait result — 258 for the time-out, else
// the index of the handle — and a counter of completed wake-ups from 0), and
// OnStop once at the end. A derived class overrides the hooks, the time-out
// (GetWaitTimeout_ms) and the set of handles (BuildWaitArray: index 0 is the
// stop event, 1 the wake-up event; further handles may follow). Both are
// asked for again before every wait.
//
// Exceptions thrown by hooks never leave the thread: they are analysed
// (se_exception_initializer) and the loop goes on. Lines go to the
// process-wide logger.
//
// Thread-safety: StartThread, StopThread and IsRunning are serialised by the
// object's lock, which StopThread holds while it waits for the thread, so
// hooks must not call them on their own object. The other calls take no lock
// and may come from any thread, the worker included.
//
// Lifetime: the destructor stops the thread (StopAndTerminate(30000)) and, if
// that answers 1460, waits without bound for the marked thread to return from
// its hook. Derived members are gone by then: owners stop the thread first.
class KRCORE_API EasyThreadImpl : public IEasyThread {
 public:
  // Throws eventexception when the events cannot be created.
  EasyThreadImpl();
  ~EasyThreadImpl() override;
  EasyThreadImpl(const EasyThreadImpl&) = delete;
  EasyThreadImpl& operator=(const EasyThreadImpl&) = delete;

  // Starts the thread unless it is running: 1 when a thread was started
  // now, 0 when one was running. A stopped or ended object starts a new
  // thread with a new id. Throws w32_exception (1627, or the resume error)
  // when the thread cannot be started.
  int StartThread() override;
  // Asks the thread to stop and waits up to `timeout_ms` for its end: 0 when
  // it ended (or there was none; the stop event is then left signalled),
  // else the wait's result (258 for the time-out), with the thread left
  // running and its handle and id kept.
  unsigned long StopThread(unsigned long timeout_ms) override;
  // StopThread, then, when that failed, the thread's end by force. Returns
  // (StopThread's result, 0 or the error of the forced end). With 0 the
  // thread runs no more hooks; with 1460 it could not be ended, is marked and
  // ends as its hook returns (no OnStop). The handle and id of a thread ended
  // by force stay until the next start or the destructor. On Linux the end by
  // force is a signal, SIGRTMAX-3, which the library takes at its first use
  // (the host's own use of it goes on to the host's handler, installed
  // before then).
  std::pair<unsigned long, unsigned long> StopAndTerminate(unsigned long timeout_ms);
  // Signals the wake-up event; wake-ups before the next wait collapse into one.
  void Wakeup() override;
  // True while a thread is held and has not ended.
  bool IsRunning() override;
  // Set by StartThread, cleared by StopThread; a thread that ended by
  // itself leaves it set.
  bool IsStarted() const override;
  // The thread's handle (waitable: signalled at the thread's end), or null.
  // Valid until the next start, a completed stop or the destructor.
  void* GetHandle() override;
  // The thread's system id; 0 before a start and after a completed stop.
  unsigned long ThreadID() const override;
  // The time-out of each wait when GetWaitTimeout_ms is not overridden
  // (30000 ms at first). Set returns the previous value; the new one is used
  // from the next wait on.
  unsigned long GetDefaultWaitTimeout() const override;
  unsigned long SetDefaultWaitTimeout(unsigned long timeout_ms) override;

 protected:
  // The wait loop; runs on the thread.
  void Run() override;
  // Empties `handles` and appends the stop event (index 0) and the wake-up
  // event (1); returns the stop index, 0. Reserves room on the first call.
  unsigned int BuildWaitArray(std::vector<void*>& handles, unsigned long long counter) override;
  // The base hooks write verbose lines only.
  void OnStart() override;
  void OnWakeup(unsigned long wait_result, unsigned long long counter) override;
  void OnStop(unsigned long wait_result, unsigned long long counter) override;
  // The default wait time-out.
  unsigned long GetWaitTimeout_ms(unsigned long long counter) override;
  // IsRunning without the lock.
  virtual bool IsRunningImpl();

 private:
  static unsigned ThreadEntry(void* self);
  void HoldThread(void* handle);

  std::atomic<unsigned long> _defaultWaitTimeout{30000};
  std::atomic<long> _started{0};
  critical_section _lock;
  autoresetevent _wakeupEvent;
  manualresetevent _stopEvent;
  std::shared_ptr<void> _thread;
  std::atomic<unsigned long> _threadId{0};
  std::atomic<void*> _threadHandle{nullptr};  // _thread's handle, for lock-free readers
};

}  // namespace krCore
