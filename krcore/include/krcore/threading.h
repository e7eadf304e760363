// The threads-and-scheduling family: the worker-thread base, the fixed and
// dynamic thread pools, the command scheduler and the process services.
#pragma once

#include <krcore/foundation.h>
#include <krcore/timing.h>

#include <atomic>
#include <deque>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace krCore {

// ---------------------------------------------------------------------------
// The worker thread.
// ---------------------------------------------------------------------------

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
// Lifetime: the destructor stops the thread (StopAndTerminate(30000)), but it
// runs after a derived class's members are gone: owners of a derived object
// stop the thread before destroying it.
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
  // (StopThread's result, 0 or the error of the forced end: 1460 when the
  // thread could not be ended). After it returns with a second member of 0,
  // the thread runs no more hooks. The handle and id of a thread ended by
  // force stay until the next start or the destructor.
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

// ---------------------------------------------------------------------------
// The clock-change monitor.
// ---------------------------------------------------------------------------

// A thread of its own that receives the system's broadcast messages and
// reports each one it knows on the debugger output. Here that is a setting
// of the wall clock (clock_settime, settimeofday, a step by a time daemon;
// not a gradual slew) or a replacement of the local time zone, both received
// as WM_TIMECHANGE; the C library's local-time rules are brought up to date
// (tzset) before the message arrives, so local times follow at once.
// Lifetime: singleton<krMonitorWindow>::instance() makes it and starts the
// thread, and returns once changes are being noticed; it throws
// std::runtime_error "Failed to start notification thread" when the thread
// cannot be started (no instance is published then). close() ends the
// thread and returns after it has left its loop. Thread-safety: instance()
// and close() may be called from any thread; close() must not race with
// callers still holding the old instance pointer.
class KRCORE_API krMonitorWindow : public singleton<krMonitorWindow> {
  friend class singleton<krMonitorWindow>;
  friend class singleton_base<krMonitorWindow>;

 public:
  // Destroys the instance under the singleton's lock: posts WM_QUIT to the
  // thread and waits for it to leave its loop. No-op without an instance; a
  // later instance() makes a new one.
  static void close();

 private:
  krMonitorWindow();
  ~krMonitorWindow() override;

  // The thread's body (argument: the start record of the constructor).
  static unsigned int notification_thread(void* param);
  // The message loop; returns the thread's last error code.
  unsigned long run();

  autoresetevent _shutdownEvent;  // ends the loop when signalled
  manualresetevent _exitedEvent;  // signalled when the thread leaves
  unsigned long _threadId = 0;
};

// ---------------------------------------------------------------------------
// Thread pools and their work items.
// ---------------------------------------------------------------------------

class IThreadpool;

namespace detail {
class work_queue;
class idle_probe;
class command_tables;
class command_standby;
}

// The body a pool thread runs, and the process-wide wrapper through which a
// pool thread enters it: the wrapper gets the body, the body's argument and
// the wrapper parameter, and is expected to return body(argument) after
// setting up whatever per-thread state the host needs around it.
typedef unsigned int (*threadpool_body_t)(void* argument);
typedef unsigned int (*threadpool_wrapper_t)(threadpool_body_t body, void* argument,
                                             void* wrapper_param);

// A work item: Execute is the work; the rest binds the item to one pool and
// carries its completion event. threadwork implements everything but Execute
// and gives the contracts (thread-safety, lifetime, errors) of the rest.
// Execute runs on a pool thread; what it throws is handled as the pool
// describes (see threadpool).
class KRCORE_API IThreadwork {
 public:
  virtual ~IThreadwork() {}
  virtual void Execute() = 0;
  virtual void* GetCompleteHandle() = 0;
  virtual void SetThreadpoolPtr(IThreadpool* const pool) = 0;
  virtual IThreadpool* GetThreadpoolPtr() = 0;
  virtual IThreadpool& GetThreadpoolRef() = 0;
  virtual void SetCompleted() = 0;
};

// Base of work items: derive, implement Execute, and hand the item to a pool
// as a shared pointer. The pool runs Execute on one of its threads and then
// signals the item's completion event, which a submitter waits on through
// GetCompleteHandle(). An item belongs to the first pool it is submitted to;
// it may be submitted to that pool again, each submission resetting the
// completion event.
//
// Thread-safety: the pool signals completion from its thread while the
// submitter waits; submitting the same item again before it completed is
// the caller's race. Not copyable.
class KRCORE_API threadwork : public IThreadwork {
 public:
  ~threadwork() override;
  threadwork(const threadwork&) = delete;
  threadwork& operator=(const threadwork&) = delete;

  // The completion event (manual reset): signalled once Execute has returned
  // or thrown an ordinary exception, reset by the next submission. An item
  // discarded by a pool's shutdown is never signalled. The event is made on
  // the first call (items nobody waits for never make one), which throws
  // eventexception when it cannot be created; the handle then stays valid
  // for the item's life.
  void* GetCompleteHandle() override;
  // Binds the item to `pool` and resets the completion event. Binding an
  // item already bound to another pool logs an error and throws w32_exception
  // (1627) with the text of that line; the item stays bound where it was.
  void SetThreadpoolPtr(IThreadpool* const pool) override;
  // The bound pool, or null.
  IThreadpool* GetThreadpoolPtr() override;
  // The bound pool; logs an error and throws w32_exception (1627) when there
  // is none.
  IThreadpool& GetThreadpoolRef() override;
  // Signals the completion event.
  void SetCompleted() override;

 protected:
  threadwork();

 private:
  std::atomic<IThreadpool*> _pool{nullptr};
  std::atomic<long> _done{0};              // the completion state
  std::atomic<void*> _completed{nullptr};  // its event, once asked for
};

// A pool that runs work items first-in first-out on its threads. The queue
// is bounded: a submitter blocks while it is full. `threadpool` and
// `ThreadpoolDynamic` implement it; their comments give the errors of each
// call. Thread-safety: submitwork, WaitingWorkCount, IsAlive and
// ShutdownEvent may be called from any thread; start and shutdown are
// serialised by the pool. Lifetime: an implementation's destructor shuts
// the pool down.
class KRCORE_API IThreadpool {
 protected:
  // Let a pool reach the item's binding and completion.
  virtual void SetThreadpoolPtr(IThreadwork* const work);
  virtual void SetCompleted(IThreadwork* const work);

 public:
  virtual ~IThreadpool();
  virtual void submitwork(const std::shared_ptr<IThreadwork>& work) = 0;
  virtual void submitwork(IThreadwork* work) = 0;
  virtual unsigned int WaitingWorkCount() const = 0;
  virtual bool IsAlive() const = 0;
  virtual void* ShutdownEvent() = 0;
  virtual int start() = 0;
  virtual bool shutdown(unsigned long timeout_ms) = 0;
};

// Thrown by submitwork on a pool that is not running. A plain value; what()
// never throws.
class KRCORE_API threadpool_shutdown_exception : public std::exception {
 public:
  threadpool_shutdown_exception() = default;
  threadpool_shutdown_exception(const threadpool_shutdown_exception&) = default;
  const char* what() const noexcept override;
};

// Thrown by a work item's Execute to end the pool thread that runs it. The
// item's completion is not signalled. A plain value; what() never throws.
class KRCORE_API thread_shutdown_exception : public std::exception {
 public:
  thread_shutdown_exception() = default;
  thread_shutdown_exception(const thread_shutdown_exception&) = default;
  const char* what() const noexcept override;
};

namespace detail {

// The common base of the library's two pools: what they declare alike, and
// the small internal interface through which the command scheduler's
// standby reaches a pool it owns. The two calls below are for the library's
// own components; a caller outside it uses IThreadpool.
class pool_base : public IThreadpool {
 public:
  static constexpr int THREAD_COUNT = 32;
  static constexpr int MAX_QUEUE_SIZE = 2147483647;
  typedef threadpool_body_t threadfunc_t;
  typedef threadpool_wrapper_t wrapperfunc_t;

  // Installs the hook the pool's watching thread asks while the queue is
  // empty (null removes it); returns once no thread is inside the previous
  // hook, so that its owner may go away. Thread-safe.
  virtual void set_idle_probe(idle_probe* probe) = 0;
  // Queues `work` as submitwork does (bound to this pool; a dynamic pool
  // grows for it) but never blocks: false, with nothing queued, when the
  // queue is full. Does not look at whether the pool runs. Throws what
  // binding the item throws, and what growing the pool throws. Thread-safe.
  virtual bool try_submit(const std::shared_ptr<IThreadwork>& work) = 0;

 protected:
  // The state both pools keep alike: the shutdown event (signalled from
  // shutdown until the next start), the running flag, and the lock that
  // serialises start and shutdown.
  manualresetevent _shutdownEvent;
  std::atomic<long> _alive{0};
  critical_section _lifecycle;
};

}  // namespace detail

// A pool of a fixed number of threads, all created by start(). Idle threads
// sleep in the wait on the queue's item count and the shutdown event.
//
// An exception thrown by a work item is analysed (se_exception_initializer)
// and the thread goes on; thread_shutdown_exception ends the thread that ran
// the item instead, leaving the pool one thread short until it is shut down
// and started again.
//
// Thread-safety: submitwork, WaitingWorkCount, IsAlive and ShutdownEvent may
// be called from any thread, work items included. start and shutdown are
// serialised with each other; a work item must not shut its own pool down.
//
// Lifetime: the destructor shuts the pool down (shutdown(10000)). It runs
// after a derived class's members are gone, so a class that overrides the
// per-thread hooks shuts the pool down in its own destructor.
class KRCORE_API threadpool : public detail::pool_base {
 public:
  // `thread_count` threads at start, at most `max_queue_size` (at least 1)
  // items waiting. Starts no thread. Throws eventexception or
  // semaphore_exception when the pool's objects cannot be created, and
  // semaphore_exception for a maximum queue size of 0.
  threadpool();
  threadpool(int thread_count, unsigned int max_queue_size);
  ~threadpool() override;
  threadpool(const threadpool&) = delete;
  threadpool& operator=(const threadpool&) = delete;

  // Creates and starts the threads and returns how many run (threads that
  // could not be created are left out silently). On a running pool it only
  // returns that number.
  int start() override;
  // Sets the thread count, then start().
  virtual int start(int thread_count);
  int GetThreadCount() const;

  // Queues `work` (throws std::runtime_error for an empty pointer), blocking
  // while the queue is full. Throws threadpool_shutdown_exception when the
  // pool is not running, and what threadwork::SetThreadpoolPtr throws for an
  // item bound to another pool. A submitter blocked when the pool is shut
  // down wakes and leaves its item queued for a later start.
  void submitwork(const std::shared_ptr<IThreadwork>& work) override;
  // Takes ownership of `work` (deleted when the last owner lets go, also
  // when the submission throws).
  void submitwork(IThreadwork* work) override;
  // The number of queued items, not counting running ones.
  unsigned int WaitingWorkCount() const override;
  bool IsAlive() const override;
  // Signalled from shutdown until the next start.
  void* ShutdownEvent() override;
  // Stops the pool: new submissions fail at once, every thread finishes its
  // item and ends; a thread still running after `timeout_ms` (100 ms for
  // each thread after the first forced end) is ended by force. Queued items
  // are discarded unsignalled and blocked submitters are woken. True when
  // every thread ended by itself (also for a pool that is not running).
  //
  // A work item may shut down its own pool: the call stops every other
  // thread as above and returns; the calling thread ends by itself once its
  // item returns. The next shutdown (the owner's, or the destructor's) waits
  // for that thread within its time-out, so the pool is never destroyed
  // under it.
  bool shutdown(unsigned long timeout_ms) override;

  // Installs the wrapper through which every pool thread started afterwards
  // (of any threadpool) enters its body; null for none. Process-wide; the
  // parameter is stored before the function.
  static void SetThreadPoolWrapperFunc(threadpool_wrapper_t func, void* param);

 protected:
  // Run on each pool thread before its first wait and after its loop ended,
  // with the thread's system id. Empty here.
  virtual void thread_preexecute(int thread_id);
  virtual void thread_postexecute(int thread_id);

 private:
  // The internal interface of pool_base.
  KRCORE_LOCAL void set_idle_probe(detail::idle_probe* probe) override;
  KRCORE_LOCAL bool try_submit(const std::shared_ptr<IThreadwork>& work) override;

  struct thread_block;
  static unsigned int threadfunc(void* block);
  static unsigned int threadbody(void* block);
  void runhandler(int thread_id);

  static std::atomic<threadpool_wrapper_t> _threadPoolWrapperFunc;
  static std::atomic<void*> _wrapperParam;

  std::vector<void*> _threads;
  std::vector<std::unique_ptr<thread_block>> _blocks;
  // The pool thread that shut its own pool down, still finishing its item.
  void* _selfEnding = nullptr;
  std::unique_ptr<thread_block> _selfEndingBlock;
  int _threadCount;
  std::unique_ptr<detail::work_queue> _queue;
  bool join_self_ending(unsigned long timeout_ms);
};

// A pool whose threads float between a minimum and a maximum: it starts with
// the minimum, grows while submitted work finds every thread busy, and lets a
// thread above the minimum end after it was idle for the idle time-out. It
// counts the items that are running, with an event signalled whenever that
// count returns to 0. Submission, completion and the rules for exceptions
// from work items are those of threadpool.
//
// Thread-safety: every public operation may be called from any thread;
// start and shutdown are serialised with each other; a work item must not
// shut its own pool down. Lifetime: as threadpool (shutdown(10000) in the
// destructor).
class KRCORE_API ThreadpoolDynamic : public detail::pool_base {
 public:
  static constexpr unsigned long DEFAULT_IDLE_TIMEOUT = 10000;

  // One pool thread: its maintenance event (signalled to make an idle thread
  // recompute its time-out), its handle and its system id. Made by the pool
  // under its thread-table lock; the constructor throws eventexception when
  // the event cannot be created.
  struct KRCORE_API threadinfo_t {
    threadinfo_t();
    autoresetevent _maintenance;
    std::shared_ptr<void> _handle;
    unsigned long _id = 0;
  };
  // One item a thread took from the queue: it counts as running for as long
  // as this lives. Owned by the pool thread that runs the item.
  struct KRCORE_API WorkItem_t {
    WorkItem_t(AtomicCounter_t& running, std::shared_ptr<IThreadwork> work);
    AutoAtomicCounter_t _running;
    std::shared_ptr<IThreadwork> _work;
  };

  // Limits: minimum at least 1, maximum at least the minimum, else
  // std::runtime_error (texts under SetMinThreads / SetMaxThreads); a
  // maximum queue size of 0 throws semaphore_exception. The
  // two-argument form has minimum = maximum = `threads`; the default one
  // THREAD_COUNT threads and MAX_QUEUE_SIZE. Starts no thread.
  ThreadpoolDynamic();
  ThreadpoolDynamic(int threads, unsigned int max_queue_size);
  ThreadpoolDynamic(int min_threads, int max_threads, unsigned int max_queue_size);
  ~ThreadpoolDynamic() override;
  ThreadpoolDynamic(const ThreadpoolDynamic&) = delete;
  ThreadpoolDynamic& operator=(const ThreadpoolDynamic&) = delete;

  // Starts the minimum number of threads and returns the number of threads.
  // On a running pool it only returns that number. Throws std::runtime_error
  // "ThreadpoolDynamic::start() - error: already started." when threads of a
  // stopped pool are still listed.
  int start() override;
  // As threadpool::submitwork; grows the pool first when every thread is
  // busy. An empty pointer throws std::runtime_error.
  void submitwork(const std::shared_ptr<IThreadwork>& work) override;
  void submitwork(IThreadwork* work) override;
  unsigned int WaitingWorkCount() const override;
  bool IsAlive() const override;
  void* ShutdownEvent() override;
  // As threadpool::shutdown, also when a work item shuts down its own pool;
  // also brings RunningWorksCount() back to 0 for items whose threads were
  // ended by force (the calling item of a self-shutdown counts until it
  // returns).
  bool shutdown(unsigned long timeout_ms) override;

  // A lower minimum makes idle surplus threads retire after one idle
  // time-out; a higher one creates threads up to it (never beyond the
  // maximum). Below 1: std::runtime_error, limits unchanged.
  void SetMinThreads(int min_threads);
  // Below the minimum: std::runtime_error. Lowering ends no thread at once;
  // surplus threads retire when idle.
  void SetMaxThreads(int max_threads);
  long GetMinThreads() const;
  long GetMaxThreads() const;
  // The idle time-out in milliseconds (DEFAULT_IDLE_TIMEOUT at first); Set
  // returns the previous value, used from each thread's next wait on.
  unsigned long SetIdleTimeout(unsigned long timeout_ms);
  unsigned long GetIdleTimeout() const;
  // The number of threads: from the thread table under its lock, or from
  // the atomic count without one.
  unsigned int ThreadsCount() const;
  unsigned int AtomicThreadsCount() const;
  // Items taken by a thread whose Execute and completion are not over yet.
  unsigned int RunningWorksCount() const;
  // Signalled whenever RunningWorksCount() returns to 0 (not before the
  // first item ran).
  void* RunningWorksDone();

  // As threadpool::SetThreadPoolWrapperFunc, for the threads of every
  // ThreadpoolDynamic (separate from threadpool's).
  static void SetThreadPoolWrapperFunc(threadpool_wrapper_t func, void* param);
  static threadpool_wrapper_t GetThreadPoolWrapperFunc();
  static void* GetThreadPoolWrapperParam();

 protected:
  // Run on each pool thread before its first wait and after its loop ended.
  // Empty here.
  virtual void thread_preexecute(threadinfo_t& info);
  virtual void thread_postexecute(threadinfo_t& info);

  // Creates up to `count` threads (never beyond the maximum) while the pool
  // is running; CreateThreads takes the thread-table lock, CreateThreadsImpl
  // expects it held. Return the number created.
  int CreateThreads(int count);
  int CreateThreadsImpl(int count);
  // The thread's entry of the table, or empty.
  std::shared_ptr<threadinfo_t> GetThreadInfo(unsigned int thread_id);
  // Throw the limits' std::runtime_error.
  void VerifyMinThreads(int min_threads);
  void VerifyMaxThreads(int max_threads);
  // Signals every thread's maintenance event.
  void CheckMinThreads();
  // The growth rule: at least the minimum; above it, as many threads as
  // running and queued items plus `extra`, up to the maximum.
  void CheckMaxThreads(unsigned int extra);
  // Removes the thread when the table holds more than the minimum.
  bool TryThreadRemove(unsigned int thread_id);
  void ThreadsClear();
  // Copies the table's entries in thread-id order; returns their number.
  unsigned int GetThreadHandles(std::vector<std::shared_ptr<threadinfo_t>>& out);
  // Removes a thread from the table (`quiet`: no line when it is missing);
  // returns the table's size.
  unsigned int ThreadRemove(unsigned int thread_id, bool quiet);
  // The idle time-out above the minimum, else no time-out.
  unsigned long GetWaitTimeTimeout();

 private:
  // The internal interface of pool_base.
  KRCORE_LOCAL void set_idle_probe(detail::idle_probe* probe) override;
  KRCORE_LOCAL bool try_submit(const std::shared_ptr<IThreadwork>& work) override;

  static unsigned int threadfunc(void* pool);
  static unsigned int threadbody(void* pool);
  void runhandler(threadinfo_t& info);
  // How many threads the growth rule wants beyond `threads` (0 for none).
  int GrowthWanted(long threads, unsigned int extra) const;

  static std::atomic<threadpool_wrapper_t> _threadPoolWrapperFunc;
  static std::atomic<void*> _wrapperParam;

  std::atomic<long> _minThreads;
  std::atomic<long> _maxThreads;
  std::atomic<unsigned long> _idleTimeout{DEFAULT_IDLE_TIMEOUT};
  mutable critical_section _threadsLock;
  std::map<unsigned long, std::shared_ptr<threadinfo_t>> _threads;
  std::atomic<long> _threadCount{0};
  AtomicCounter_t _running;
  std::unique_ptr<detail::work_queue> _queue;
  // The pool thread that shut its own pool down, still finishing its item.
  std::shared_ptr<threadinfo_t> _selfEnding;
  bool join_self_ending(unsigned long timeout_ms);
};

// ---------------------------------------------------------------------------
// The command scheduler.
// ---------------------------------------------------------------------------

// One scheduled command: its ID, the moment it is due (seconds on the
// scheduler's stopwatch) and the work item it hands to the pool. A plain
// value type with no locking of its own: the scheduler hands out shells that
// have left its tables, which then belong to the caller.
struct KRCORE_API CommandShell_t {
  CommandShell_t();
  CommandShell_t(const CommandShell_t& other);
  CommandShell_t& operator=(const CommandShell_t& other);
  ~CommandShell_t();

  std::wstring ID;
  double ExecuteMoment = 0.0;
  std::shared_ptr<IThreadwork> Work;
};

// Runs work items at a moment or after a delay, once each, on a pool the
// scheduler owns. Moments are seconds on the scheduler's own stopwatch (not
// the wall clock, so setting the clock moves nothing). Every add returns a
// text ID (a GUID) with which the command can be moved or removed while it
// waits. CommandSchedulerImpl gives the contracts (thread-safety, lifetime,
// errors) of every call.
class KRCORE_API ICommandScheduler {
 public:
  virtual ~ICommandScheduler() {}
  virtual int Start() = 0;
  virtual bool Shutdown(unsigned long timeout_ms) = 0;
  virtual IThreadpool& Threadpool() = 0;
  virtual const IStopwatch& Stopwatch() = 0;
  virtual std::wstring AddDelay(double delay_s, const std::shared_ptr<IThreadwork>& work) = 0;
  virtual std::wstring AddMoment(double moment_s, const std::shared_ptr<IThreadwork>& work) = 0;
  virtual bool RescheduleDelay(const std::wstring& id, double delay_s) = 0;
  virtual bool RescheduleMoment(const std::wstring& id, double moment_s) = 0;
  virtual std::shared_ptr<CommandShell_t> Remove(const std::wstring& id) = 0;
};

// The scheduler on one worker thread: the commands wait in two ordered
// tables (by moment, and by ID); the thread sleeps until the earliest moment,
// takes every due command out at once and submits their work items to the
// pool, earliest first and in insertion order among equal moments. A late
// command runs at the next wake-up; nothing is skipped or merged. When the
// thread is held up (its processor busy with something else, or stopped by
// a hypervisor) more than some 50 µs past a due moment, a thread of the
// scheduler's own pool that is watching for work takes the due commands in
// its stead, in the same order.
//
// Thread-safety: Add, Reschedule and Remove may be called from any thread,
// work items included; one lock guards the tables and is never held while
// work is submitted or runs. Start and Shutdown are not meant to race each
// other.
//
// Lifetime: construction starts nothing (commands may be added; AddDelay
// then counts from 0). Start starts the stopwatch, the pool and the thread;
// Shutdown stops them; commands still waiting are neither run nor removed.
// An owner should call Shutdown before destroying the scheduler; if it does
// not, the destructor of the concrete scheduler stops the thread before the
// pool and the tables go.
class KRCORE_API CommandSchedulerImpl : public ICommandScheduler, protected EasyThreadImpl {
 public:
  CommandSchedulerImpl();
  ~CommandSchedulerImpl() override;

  // Starts the stopwatch, the pool and the thread; returns the pool's thread
  // count. Throws w32_exception (1627) when the pool starts no thread (the
  // stopwatch is then running, the thread not started).
  int Start() override;
  // Stops the thread within `timeout_ms`, then shuts the pool down with the
  // time left (at least 100 ms) and stops the stopwatch. True when the thread
  // stopped in time and every pool thread ended by itself. Never throws for
  // a thread or pool that does not stop.
  bool Shutdown(unsigned long timeout_ms) override;
  // Schedule at now + `delay_s` or at `moment_s` (a negative or past moment
  // is due at once); return the new ID. Throw what the GUID source throws.
  std::wstring AddDelay(double delay_s, const std::shared_ptr<IThreadwork>& work) override;
  std::wstring AddMoment(double moment_s, const std::shared_ptr<IThreadwork>& work) override;
  // Move a waiting command to now + `delay_s` or to `moment_s`, after the
  // commands already waiting there; the ID stays. False when no command with
  // that ID waits (also when it was already handed to the pool).
  bool RescheduleDelay(const std::wstring& id, double delay_s) override;
  bool RescheduleMoment(const std::wstring& id, double moment_s) override;
  // Takes a waiting command out and returns it; empty when none has that ID.
  std::shared_ptr<CommandShell_t> Remove(const std::wstring& id) override;

 protected:
  // Starts the pool; logs its size. Throws w32_exception (1627) when no
  // thread runs.
  virtual int StartThreadPool();
  virtual void StartStopwatch() = 0;
  virtual void StopStopwatch() = 0;

  // Shutdown(10000) that never throws: false when it threw.
  bool ShutdownNoThrow(unsigned long timeout_ms);
  // A fresh random GUID text that no waiting command has. Call with the
  // lock held, so that the check and the insertion that follows are one
  // step.
  std::wstring GetID();
  // The earliest waiting moment, or -1.0 when nothing waits.
  double GetNextExecuteMoment() const;
  // The steps behind Add, Remove and Reschedule. Each takes the lock itself
  // (it is recursive), so a subclass that already holds it makes one atomic
  // step of its own work and the call.
  //
  // Insertion: with a new ID, with a given ID, or of a ready command; each
  // refuses a moment that is not finite and an empty work item
  // (w32_exception 87). The thread is woken when the command became the
  // earliest.
  std::wstring AddMomentImpl(double moment_s, const std::shared_ptr<IThreadwork>& work);
  void AddMomentImpl(double moment_s, const std::wstring& id,
                     const std::shared_ptr<IThreadwork>& work);
  void AddMomentImpl(const std::shared_ptr<CommandShell_t>& command);
  // Removal from both tables / from the time table only (true when the
  // command waited there), and the move of a waiting command to `moment_s`.
  std::shared_ptr<CommandShell_t> RemoveImpl(const std::wstring& id);
  bool RemoveTimeOrdered(const std::shared_ptr<CommandShell_t>& command);
  bool RescheduleMomentImpl(const std::wstring& id, double moment_s);
  // The two steps of a wake-up, for a subclass that takes commands on a
  // thread of its own: take every due command out of the tables (under the
  // lock), earliest first, then submit the commands' work items to the
  // pool in list order (without it; throws what submitwork throws, and the
  // commands after the failing one are not submitted). The scheduler's own
  // thread takes and submits its batches the same way, in one order with
  // the pool thread that stands in for it; a subclass's batches are outside
  // that order.
  void GetReadyCommands(std::list<std::shared_ptr<CommandShell_t>>& ready);
  void ProcessCommands(std::list<std::shared_ptr<CommandShell_t>>& ready);
  // Stops the thread if it still runs; a concrete scheduler calls it first
  // in its destructor, while its pool and stopwatch still exist.
  void StopSchedulerThread();
  // Lets a thread of `pool` that watches for work take the due commands
  // while this scheduler's thread is held up. A scheduler that owns one of
  // the library's pools calls it once, at construction; without it, only
  // the scheduler's thread takes commands. `pool` must outlive the
  // scheduler's thread.
  KRCORE_LOCAL void StandByOn(detail::pool_base& pool);

  // The worker thread's hooks.
  void OnStart() override;
  void OnWakeup(unsigned long wait_result, unsigned long long counter) override;
  unsigned long GetWaitTimeout_ms(unsigned long long counter) override;

 private:
  double Now();
  // Wakes the thread when a command added at `added_s` became the earliest
  // (`first_s` is the earliest moment before, -1.0 for an empty table).
  void WakeIfEarliest(double first_s, double added_s);
  // The one take of due commands: under the lock, every command due now
  // goes from the tables into `ready` (a list of shells or a vector of work
  // items); returns the earliest moment left, -1.0 when none.
  template <class Ready>
  double TakeDue(Ready& ready);

  mutable critical_section _lock;
  // The table ordered by moment and the one ordered by ID.
  std::unique_ptr<detail::command_tables> _tables;
  // Lets a pool thread that watches for work take the due commands while
  // this scheduler's thread is held up (after StandByOn).
  std::unique_ptr<detail::command_standby> _standby;
};

namespace detail {

// The body the two concrete schedulers share: a scheduler that owns its
// stopwatch (made not running) and a pool of type `Pool`, made from the
// constructor's arguments, whose watching threads stand in for the
// scheduler's thread. Contracts as CommandSchedulerImpl.
template <class Pool>
class owned_pool_scheduler : public CommandSchedulerImpl {
 public:
  // The owned pool and stopwatch, for the scheduler's life.
  IThreadpool& Threadpool() override { return _threadpool; }
  const IStopwatch& Stopwatch() override { return _stopwatch; }

 protected:
  template <class... PoolArgs>
  explicit owned_pool_scheduler(PoolArgs... pool_args)
      : _stopwatch(false), _threadpool(pool_args...) {
    StandByOn(_threadpool);
  }
  // The most-derived destructor stops the thread (StopSchedulerThread):
  // the thread calls this object's virtual members, so it must end before
  // any destructor changes the object's dynamic type, and while the pool
  // and the stopwatch it uses still exist.
  ~owned_pool_scheduler() override = default;

  void StartStopwatch() override { _stopwatch.Start(); }
  void StopStopwatch() override { _stopwatch.Stop(); }
  Pool& OwnedPool() { return _threadpool; }

 private:
  BestResStopwatch _stopwatch;
  Pool _threadpool;
};

}  // namespace detail

// The scheduler with a fixed thread pool (8 threads by default). Throws
// what the pool's constructor throws.
class KRCORE_API CommandSchedulerFixed : public detail::owned_pool_scheduler<threadpool> {
 public:
  CommandSchedulerFixed();
  CommandSchedulerFixed(int thread_count, unsigned int max_queue_size);
  ~CommandSchedulerFixed() override;

  // The owned pool, for the scheduler's life.
  threadpool& GetThreadpool();
};

// The scheduler with a dynamic thread pool; the arguments go to
// ThreadpoolDynamic(min_threads, max_threads, max_queue_size), which throws
// for limits it refuses.
class KRCORE_API CommandSchedulerDyn : public detail::owned_pool_scheduler<ThreadpoolDynamic> {
 public:
  CommandSchedulerDyn(int min_threads, int max_threads, unsigned int max_queue_size);
  ~CommandSchedulerDyn() override;

  // The owned pool, for the scheduler's life.
  ThreadpoolDynamic& GetThreadpoolDynamic();
};

// ---------------------------------------------------------------------------
// The process services.
// ---------------------------------------------------------------------------

// The process's shared services: the uptime stopwatch (running from the
// first instance()), one command scheduler made on demand, a sequence
// counter, and time stamps shaped for file names.
// Thread-safety: every operation may be called from any thread; only one
// scheduler is ever made. Lifetime: singleton<ProcessServices>::instance();
// the scheduler is never stopped or freed by the services (its owner, the
// host, shuts it down).
class KRCORE_API ProcessServices : public singleton<ProcessServices> {
  friend class singleton<ProcessServices>;
  friend class singleton_base<ProcessServices>;

 public:
  // The uptime stopwatch (it refuses to stop).
  const IStopwatch& Stopwatch();
  // The scheduler; made here as CommandSchedulerDyn(min, max, queue) when
  // there is none (later arguments are ignored). Not started.
  ICommandScheduler& InitializeCommandScheduler(int min_threads, int max_threads,
                                                unsigned int max_queue_size);
  // The scheduler, or InitializeCommandScheduler(1, 32, 0x7FFFFFFF).
  ICommandScheduler& CommandScheduler();
  // The next value of the process counter (the first is 1).
  unsigned long NextCounter();
  // The local time as "YYYY-MM-DD_hh.mm.ss.mmm", with "." and NextCounter()
  // appended when `with_counter` (the default).
  std::wstring TimeAsFilename();
  std::wstring TimeAsFilename(bool with_counter);
  std::wstring TimeAsFilename(const SYSTEMTIME& time, bool with_counter);

 private:
  ProcessServices();
  ~ProcessServices() override;

  ProcessStopwatch _uptime;
  std::atomic<ICommandScheduler*> _scheduler{nullptr};
  std::atomic<unsigned long> _counter{0};
};

}  // namespace krCore
