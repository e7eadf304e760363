// The command scheduler: work items run at a moment or after a delay on a
// pool the scheduler owns. CommandSchedulerImpl is the body on one worker
// thread; CommandSchedulerFixed and CommandSchedulerDyn own a fixed or a
// dynamic pool.
#pragma once

#include <krcore/export.h>
#include <krcore/sync.h>
#include <krcore/thread.h>
#include <krcore/thread_pool.h>
#include <krcore/timing.h>

#include <list>
#include <memory>
#include <string>

namespace krCore {

namespace detail {
class command_tables;
class command_standby;
}  // namespace detail

// One scheduled command: its ID, the moment it is due (seconds on the
// scheduler's stopwatch) and the work item it hands to the pool. A plain
// value type with no locking of its own: the scheduler hands out shells that
// have left its tables, which then belong to the caller. Copying throws only
// std::bad_alloc.
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
  // A fresh random GUID text that no waiting command has at the moment of
  // the check. The Add steps that make an ID draw it themselves and check
  // it again as they insert it.
  std::wstring GetID();
  // The earliest waiting moment, or -1.0 when nothing waits.
  double GetNextExecuteMoment() const;
  // The steps behind Add, Remove and Reschedule. Each takes the tables'
  // own lock for its table work (never while calling back into a subclass
  // or the pool), so each is one atomic step on the tables and may be
  // called from any thread.
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

  // Kept for the class's layout; the tables guard themselves with a lock
  // of their own (see the steps above).
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
// what the pool's constructor throws. Thread-safety, lifetime and the errors
// of the calls as CommandSchedulerImpl; the destructor stops the scheduler's
// thread, then the pool is shut down.
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
// for limits it refuses. Thread-safety, lifetime and the errors of the calls
// as CommandSchedulerImpl; the destructor stops the scheduler's thread, then
// the pool is shut down.
class KRCORE_API CommandSchedulerDyn : public detail::owned_pool_scheduler<ThreadpoolDynamic> {
 public:
  CommandSchedulerDyn(int min_threads, int max_threads, unsigned int max_queue_size);
  ~CommandSchedulerDyn() override;

  // The owned pool, for the scheduler's life.
  ThreadpoolDynamic& GetThreadpoolDynamic();
};

}  // namespace krCore
