// The command scheduler: commands wait in a table ordered by moment and one
// ordered by ID; the scheduler's worker thread sleeps until the earliest
// moment, takes every due command out in one batch and hands the work items
// to the scheduler's pool outside the lock.
//
// The worker asks for a small timer slack, so that its timed waits end close
// to the due moment instead of up to the kernel's default 50 µs late. While
// the worker is held up, a watching pool thread takes the due commands in
// its stead (command_standby.h).
#include <krcore/diagnostics.h>
#include <krcore/logging.h>
#include <krcore/sysutil.h>
#include <krcore/threading.h>
#include <krcore/timing.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "scheduling/command_standby.h"
#include "scheduling/command_tables.h"
#include "foundation/errors.h"
#include "logging/logsink.h"
#include "sysutil/guid_text.h"
#include "threading/pool_work.h"
#include "threading/timer_slack.h"

namespace krCore {
namespace {

// The source name the exception analysis reports for this file.
constexpr const char* kFile = "CommandScheduler";

// The longest finite wait: the platform's waits take 32 bits and all ones
// means infinite.
constexpr double kMaxFiniteWaitMs = 4294967294.0;

// The worker's timer slack: small against the lateness a caller notices
// (the kernel's default is 50 µs), yet wide enough that one wake-up often
// serves several commands due a few microseconds apart. Under a dense load
// that saves wake-ups, and each costs processor time that, on a machine
// with few processors, delays the pool threads.
constexpr unsigned long kTimerSlackNs = 5000;

// Milliseconds of a non-negative duration in seconds, truncated and kept
// below INFINITE.
unsigned long finite_ms(double seconds) {
  const double ms = seconds * 1000.0;
  if (ms >= kMaxFiniteWaitMs) return static_cast<unsigned long>(kMaxFiniteWaitMs);
  return ms > 0.0 ? static_cast<unsigned long>(ms) : 0ul;
}

// Refuses a moment the time table cannot order (NaN) or never reaches
// (an infinity), and an empty work item, which nothing could run: the
// caller learns at once, and the commands already waiting lose nothing.
void check_moment(double moment_s, const wchar_t* text) {
  if (!std::isfinite(moment_s)) throw w32_exception(text, detail::kErrorInvalidParameter);
}

void check_work(const std::shared_ptr<IThreadwork>& work) {
  if (!work)
    throw w32_exception(L"CommandSchedulerImpl - a command needs a work item",
                        detail::kErrorInvalidParameter);
}

// The work item of a taken command, whichever form the take gave it.
const std::shared_ptr<IThreadwork>& work_of(const std::shared_ptr<IThreadwork>& work) {
  return work;
}
const std::shared_ptr<IThreadwork>& work_of(const std::shared_ptr<CommandShell_t>& command) {
  return command->Work;
}

// Submits the taken commands' work items to `pool` in order. A submission
// that throws leaves the rest unsubmitted; they have left the tables.
template <class Ready>
void submit_all(IThreadpool& pool, const Ready& ready) {
  for (const auto& item : ready) pool.submitwork(work_of(item));
}

// Holds the tables' lock for a scope. The tables have a lock of their own,
// a short non-recursive one, because every add takes it once; the
// critical_section member is kept for the class's layout and takes no part.
// No step below takes the lock while holding it.
using table_lock = std::lock_guard<detail::spin_lock>;

// Moves the waiting command `id` to `moment_s`, behind the commands already
// waiting there, with the tables' lock held; false when none waits. `wake`
// gets the earliest moment without the command and its new moment.
template <class Wake>
bool move_command(detail::command_tables& tables, const std::wstring& id, double moment_s,
                  Wake wake) {
  std::shared_ptr<CommandShell_t> command = tables.remove(id);
  if (!command) return false;
  command->ExecuteMoment = moment_s;
  const double first = tables.earliest();
  tables.add(command);
  wake(first, moment_s);
  return true;
}

// Schedules `work` under a new ID at the moment `moment()` gives with the
// tables' lock held, and returns the ID's text. The text's one allocation
// comes before the insertion, so that a failure leaves the tables
// unchanged; its digits are written after the lock, once the insertion has
// proven the GUID unused. `wake` gets the earliest moment before the add
// and the new one.
template <class Moment, class Wake>
std::wstring add_new_command(detail::command_tables& tables, Moment moment,
                             const std::shared_ptr<IThreadwork>& work, Wake wake) {
  detail::fresh_id id(tables);
  std::wstring text = detail::guid_text_frame();
  {
    table_lock lock(tables.lock());
    const double moment_s = moment();
    const double first = tables.earliest();
    tables.add_new(moment_s, id, work);
    wake(first, moment_s);
  }
  detail::put_guid_digits(id.guid, text.data());
  return text;
}

constexpr wchar_t kBadDelay[] = L"CommandSchedulerImpl - the delay is not a finite number of seconds";
constexpr wchar_t kBadMoment[] = L"CommandSchedulerImpl - the moment is not a finite number of seconds";

}  // namespace

CommandShell_t::CommandShell_t() = default;
CommandShell_t::CommandShell_t(const CommandShell_t& other) = default;
CommandShell_t& CommandShell_t::operator=(const CommandShell_t& other) = default;
CommandShell_t::~CommandShell_t() = default;

CommandSchedulerImpl::CommandSchedulerImpl()
    : _tables(std::make_unique<detail::command_tables>()),
      _standby(std::make_unique<detail::command_standby>(detail::command_standby::scheduler_calls{
          [this] { return Now(); },
          [this](std::vector<std::shared_ptr<IThreadwork>>& ready) { return TakeDue(ready); },
          [this] { Wakeup(); }})) {}

CommandSchedulerImpl::~CommandSchedulerImpl() { StopSchedulerThread(); }

void CommandSchedulerImpl::StopSchedulerThread() {
  try {
    _standby->stop();
    if (!IsRunning()) return;
    detail::pool_log(detail::kLogWarning,
                     L"CommandSchedulerImpl - destroyed without Shutdown(), stopping its thread");
    StopAndTerminate(10000);
  } catch (...) {  // a destructor must not throw; the logging path may
  }
}

double CommandSchedulerImpl::Now() { return Stopwatch().Elapsed_s(); }

int CommandSchedulerImpl::Start() {
  StartStopwatch();
  const int threads = StartThreadPool();
  _standby->start();
  StartThread();
  return threads;
}

int CommandSchedulerImpl::StartThreadPool() {
  const int threads = Threadpool().start();
  detail::pool_log(detail::kLogNormal,
                   L"CommandSchedulerImpl::StartThreadPool() - thread pool size [", threads, L"]");
  if (threads <= 0) {
    static constexpr const wchar_t* kFailed =
        L"CommandSchedulerImpl::StartThreadPool() - failed to start thread pool";
    detail::pool_log(detail::kLogError, kFailed);
    throw w32_exception(kFailed, detail::kErrorFunctionFailed);
  }
  return threads;
}

bool CommandSchedulerImpl::Shutdown(unsigned long timeout_ms) {
  detail::pool_log(detail::kLogVerbose, L"CommandSchedulerImpl::Shutdown() called with [",
                   timeout_ms, L"] ms timeout");
  CountdownTimer_t countdown(timeout_ms);
  _standby->stop();
  const std::pair<unsigned long, unsigned long> stopped = StopAndTerminate(timeout_ms);
  // The pool gets what is left of the time-out, but never less than 100 ms.
  const bool pool_done = Threadpool().shutdown(finite_ms(countdown.Left_s(0.1)));
  StopStopwatch();
  detail::pool_log(detail::kLogVerbose,
                   L"CommandSchedulerImpl::Shutdown() - thread stopped with codes [", stopped.first,
                   L", ", stopped.second, L"], thread pool shutdown returned [", pool_done ? 1 : 0,
                   L"], elapsed [", countdown.Elapsed_s(), L"] s");
  return stopped.first == 0 && pool_done;
}

bool CommandSchedulerImpl::ShutdownNoThrow(unsigned long /*timeout_ms*/) {
  // A fixed time-out, as the callers of this entry point have always had.
  se_exception_initializer guard;
  try {
    return Shutdown(10000);
  } catch (...) {
    guard.Analyze(kFile, 38);
  }
  return false;
}

std::wstring CommandSchedulerImpl::GetID() {
  // A fresh random GUID as text that no waiting command has at the moment
  // of the check.
  detail::fresh_id id;
  {
    table_lock lock(_tables->lock());
    while (_tables->contains(id.guid)) id.renew();
  }
  return id.text();
}

double CommandSchedulerImpl::GetNextExecuteMoment() const {
  table_lock lock(_tables->lock());
  return _tables->earliest();
}

std::wstring CommandSchedulerImpl::AddDelay(double delay_s,
                                            const std::shared_ptr<IThreadwork>& work) {
  check_moment(delay_s, kBadDelay);
  check_work(work);
  // The moment is read under the lock, so it cannot fall before a Start
  // that restarts the stopwatch meanwhile.
  return add_new_command(
      *_tables,
      [this, delay_s] {
        const double moment_s = Now() + delay_s;
        check_moment(moment_s, kBadMoment);
        return moment_s;
      },
      work, [this](double first, double added) { WakeIfEarliest(first, added); });
}

std::wstring CommandSchedulerImpl::AddMoment(double moment_s,
                                             const std::shared_ptr<IThreadwork>& work) {
  // AddMomentImpl checks and locks.
  return AddMomentImpl(moment_s, work);
}

std::wstring CommandSchedulerImpl::AddMomentImpl(double moment_s,
                                                 const std::shared_ptr<IThreadwork>& work) {
  // GetID and the insertion in one: the ID is drawn before the lock, and
  // the insertion that proves it unused draws another if it is not.
  check_moment(moment_s, kBadMoment);
  check_work(work);
  return add_new_command(
      *_tables, [moment_s] { return moment_s; }, work,
      [this](double first, double added) { WakeIfEarliest(first, added); });
}

void CommandSchedulerImpl::AddMomentImpl(double moment_s, const std::wstring& id,
                                         const std::shared_ptr<IThreadwork>& work) {
  auto command = std::make_shared<CommandShell_t>();
  command->ID = id;  // the caller keeps its copy: it returns it
  command->ExecuteMoment = moment_s;
  command->Work = work;
  AddMomentImpl(command);
}

void CommandSchedulerImpl::AddMomentImpl(const std::shared_ptr<CommandShell_t>& command) {
  if (!command) throw w32_exception(L"CommandSchedulerImpl - no command", detail::kErrorInvalidParameter);
  check_moment(command->ExecuteMoment, kBadMoment);
  check_work(command->Work);
  table_lock lock(_tables->lock());
  const double first = _tables->earliest();
  _tables->add(command);
  WakeIfEarliest(first, command->ExecuteMoment);
}

void CommandSchedulerImpl::WakeIfEarliest(double first_s, double added_s) {
  // The thread's current wait may be too long only when the table was empty
  // or the new command is now the earliest.
  if (first_s < 0.0 || first_s > added_s) {
    _standby->publish(added_s);
    Wakeup();
  }
}

std::shared_ptr<CommandShell_t> CommandSchedulerImpl::Remove(const std::wstring& id) {
  return RemoveImpl(id);
}

std::shared_ptr<CommandShell_t> CommandSchedulerImpl::RemoveImpl(const std::wstring& id) {
  table_lock lock(_tables->lock());
  return _tables->remove(id);
}

bool CommandSchedulerImpl::RemoveTimeOrdered(const std::shared_ptr<CommandShell_t>& command) {
  table_lock lock(_tables->lock());
  return _tables->remove_by_time(*command);
}

bool CommandSchedulerImpl::RescheduleDelay(const std::wstring& id, double delay_s) {
  check_moment(delay_s, kBadDelay);
  // Now is read under the lock, as for AddDelay.
  table_lock lock(_tables->lock());
  const double moment_s = Now() + delay_s;
  check_moment(moment_s, kBadMoment);
  return move_command(*_tables, id, moment_s,
                      [this](double first, double added) { WakeIfEarliest(first, added); });
}

bool CommandSchedulerImpl::RescheduleMoment(const std::wstring& id, double moment_s) {
  return RescheduleMomentImpl(id, moment_s);
}

bool CommandSchedulerImpl::RescheduleMomentImpl(const std::wstring& id, double moment_s) {
  // Checked before the command leaves the tables, so a refusal keeps it.
  check_moment(moment_s, kBadMoment);
  table_lock lock(_tables->lock());
  return move_command(*_tables, id, moment_s,
                      [this](double first, double added) { WakeIfEarliest(first, added); });
}

void CommandSchedulerImpl::OnStart() {
  EasyThreadImpl::OnStart();
  detail::set_thread_timer_slack(kTimerSlackNs);
}

unsigned long CommandSchedulerImpl::GetWaitTimeout_ms(unsigned long long /*counter*/) {
  double left_s;
  {
    table_lock lock(_tables->lock());
    if (_tables->empty()) return GetDefaultWaitTimeout();
    const double first = _tables->earliest();
    if (first < 0.0) return GetDefaultWaitTimeout();
    left_s = first - Now();
    if (left_s <= 0.0 || left_s >= 0.001) return finite_ms(left_s);
  }
  // Less than a millisecond to go: the waits count whole milliseconds, so
  // the thread would go round with 0 ms waits until the moment. It sleeps
  // the rest instead (outside the lock); a stop or wake-up signalled
  // meanwhile is seen by the wait that follows at once.
  std::this_thread::sleep_for(std::chrono::duration<double>(left_s));
  return 0;
}

template <class Ready>
double CommandSchedulerImpl::TakeDue(Ready& ready) {
  table_lock lock(_tables->lock());
  _tables->take_due(Now(), ready);
  return _tables->earliest();
}

void CommandSchedulerImpl::GetReadyCommands(std::list<std::shared_ptr<CommandShell_t>>& ready) {
  _standby->publish(TakeDue(ready));
}

void CommandSchedulerImpl::ProcessCommands(std::list<std::shared_ptr<CommandShell_t>>& ready) {
  submit_all(Threadpool(), ready);
}

void CommandSchedulerImpl::StandByOn(detail::pool_base& pool) { _standby->use_pool(pool); }

void CommandSchedulerImpl::OnWakeup(unsigned long /*wait_result*/, unsigned long long counter) {
  // The batch goes to the pool as bare work items (no command shells are
  // made for it), in one order with any batch the standby takes; what the
  // standby could not queue goes first. A failed take still submits what it
  // took, then reports the failure.
  std::vector<std::shared_ptr<IThreadwork>> ready;
  std::exception_ptr failure;
  struct batch_end {
    detail::command_standby& standby;
    ~batch_end() { standby.end_batch(); }
  } end{*_standby};
  {
    auto order = _standby->begin_batch(ready);
    try {
      _standby->take_due(ready);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  submit_all(Threadpool(), ready);
  if (failure) std::rethrow_exception(failure);
  if (ready.empty()) return;
  detail::pool_log(detail::kLogVerbose, L"CommandSchedulerImpl::ProcessTimeout() - executed [",
                   ready.size(), L"] command(s), counter [", counter, L"].");
}

// ---------------------------------------------------------------------------
// The two concrete schedulers: the shared body is detail::owned_pool_scheduler.
// ---------------------------------------------------------------------------

CommandSchedulerFixed::CommandSchedulerFixed() : CommandSchedulerFixed(8, 2147483647u) {}

CommandSchedulerFixed::CommandSchedulerFixed(int thread_count, unsigned int max_queue_size)
    : owned_pool_scheduler(thread_count, max_queue_size) {}

CommandSchedulerFixed::~CommandSchedulerFixed() { StopSchedulerThread(); }

threadpool& CommandSchedulerFixed::GetThreadpool() { return OwnedPool(); }

CommandSchedulerDyn::CommandSchedulerDyn(int min_threads, int max_threads,
                                         unsigned int max_queue_size)
    : owned_pool_scheduler(min_threads, max_threads, max_queue_size) {}

CommandSchedulerDyn::~CommandSchedulerDyn() { StopSchedulerThread(); }

ThreadpoolDynamic& CommandSchedulerDyn::GetThreadpoolDynamic() { return OwnedPool(); }

}  // namespace krCore
