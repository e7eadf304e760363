// Thread pools and their work items: the work-item interface and base, the
// pool interface and its exceptions, and the fixed (threadpool) and dynamic
// (ThreadpoolDynamic) pools.
#pragma once

#include <krcore/export.h>
#include <krcore/sync.h>

#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <vector>

namespace krCore {

class IThreadpool;

namespace detail {
class work_queue;
class pool_launch;
class idle_probe;
}  // namespace detail

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

// Thrown by submitwork on a pool that is not running. A plain,
// thread-compatible value; what() never throws.
class KRCORE_API threadpool_shutdown_exception : public std::exception {
 public:
  threadpool_shutdown_exception() = default;
  threadpool_shutdown_exception(const threadpool_shutdown_exception&) = default;
  const char* what() const noexcept override;
};

// Thrown by a work item's Execute to end the pool thread that runs it. The
// item's completion is not signalled. A plain, thread-compatible value;
// what() never throws.
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

  // True from a successful start until shutdown.
  bool IsAlive() const override { return _alive.load() != 0; }
  // Signalled from shutdown until the next start.
  void* ShutdownEvent() override { return static_cast<void*>(_shutdownEvent); }

 protected:
  // The state both pools keep alike: the shutdown event, the running flag,
  // and the lock that serialises start and shutdown.
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
// serialised with each other; a work item may shut its own pool down (see
// shutdown).
//
// Lifetime: the destructor shuts the pool down (shutdown(10000)) and waits
// without bound for threads marked to end as their items return. Derived
// members are gone by then: a class overriding the hooks shuts down first.
//
// Forced ends: a thread whose item outstays the shutdown's time-out is ended
// by force, at the first point where it holds none of the library's locks
// (a critical_section or auto_lock included), and never runs another line of
// the item; the item's completion is not signalled. What the item holds
// otherwise is lost. In particular, an item ended while it waits on a
// std::condition_variable (or a pthread condition variable) stays counted
// as a waiter by the C library, and destroying that variable afterwards
// hangs: items that may be ended wait on the library's events and
// WaitForSingleObject instead, which give back what an ended waiter held.
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

  // Creates and starts the threads and returns how many run: threads that
  // could not be created are left out silently, and threads whose wrapper
  // threw or returned before running the thread's body are logged and left
  // out (the start waits, up to 10 s, for each thread to get that far). On
  // a running pool it only returns that number.
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
  // Stops the pool: new submissions fail at once, blocked submitters wake,
  // queued items are discarded unsignalled; a thread still in its item after
  // `timeout_ms` (100 ms after the first forced end) is ended by force, or
  // marked to end as its item returns where that fails (1460). True when all
  // ended by themselves; for a stopped pool, when no marked thread still runs.
  //
  // A work item may shut down its own pool: the call stops every other
  // thread as above and returns; the calling thread ends by itself once its
  // item returns. The next shutdown (the owner's, or the destructor's) waits
  // for that thread within its time-out, so the pool is never destroyed
  // under it.
  bool shutdown(unsigned long timeout_ms) override;

  // Installs the wrapper through which every pool thread started afterwards
  // (of any threadpool) enters its body; null for none. Process-wide; the
  // parameter is stored before the function. What the wrapper throws is
  // analysed and logged (se_exception_initializer) and ends only that thread;
  // a thread whose wrapper never ran the body counts as not started.
  static void SetThreadPoolWrapperFunc(threadpool_wrapper_t func, void* param);

 protected:
  // Run on each pool thread before its first wait and after its loop ended,
  // with the thread's system id. Empty here.
  virtual void thread_preexecute(int thread_id);
  virtual void thread_postexecute(int thread_id);

 private:
  // The internal interface of pool_base. Exported like the rest of the
  // class: an outside class derived from this one names them in its vtable.
  // Final, so that such a class cannot replace them by accident.
  void set_idle_probe(detail::idle_probe* probe) final;
  bool try_submit(const std::shared_ptr<IThreadwork>& work) final;

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
  // Which threads of a start reached their body (see start).
  std::unique_ptr<detail::pool_launch> _launch;
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
// start and shutdown are serialised with each other; a work item may shut
// its own pool down (see shutdown). Lifetime: as threadpool (shutdown(10000)
// in the destructor); the shutdown also waits for threads that are retiring.
// Forced ends: as threadpool's, the std::condition_variable caveat included.
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

  // Starts the minimum number of threads and returns the number of threads
  // that run (as threadpool::start, a thread whose wrapper failed before its
  // body leaves the table). On a running pool it only returns that number. Throws std::runtime_error
  // "ThreadpoolDynamic::start() - error: already started." when threads of a
  // stopped pool are still listed.
  int start() override;
  // As threadpool::submitwork; grows the pool first when every thread is
  // busy. An empty pointer throws std::runtime_error.
  void submitwork(const std::shared_ptr<IThreadwork>& work) override;
  void submitwork(IThreadwork* work) override;
  unsigned int WaitingWorkCount() const override;
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
  // The internal interface of pool_base. Exported like the rest of the
  // class: an outside class derived from this one names them in its vtable.
  // Final, so that such a class cannot replace them by accident.
  void set_idle_probe(detail::idle_probe* probe) final;
  bool try_submit(const std::shared_ptr<IThreadwork>& work) final;

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
  // Threads that left the table but may still run pool code on their way
  // out (under _threadsLock); shutdown waits for them as for the listed
  // ones. Entries of ended threads are dropped at the next removal.
  std::vector<std::shared_ptr<threadinfo_t>> _leaving;
  // Which threads of a start reached their body (see start).
  std::unique_ptr<detail::pool_launch> _launch;
  bool join_self_ending(unsigned long timeout_ms);
};

}  // namespace krCore
