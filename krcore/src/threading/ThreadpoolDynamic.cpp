// The dynamic thread pool: threads between a minimum and a maximum, grown on
// submission and retired after an idle time-out.
//
// Threads are listed in a table keyed by their id. A new thread is entered
// while it is held at its start gate, so it always finds its own entry;
// batches are created and released under the table lock. A thread sleeps in
// the library's wait on [0] the queue's semaphore, [1] its own maintenance
// event and [2] the shutdown event: without a time-out while the pool is at
// its minimum, with the idle time-out above it. The maintenance event makes
// one idle thread recompute its time-out (after the minimum was lowered)
// without waking the others for work.
#include <krcore/diagnostics.h>
#include <krcore/threading.h>
#include <krcore/timing.h>


#include <algorithm>
#include <optional>
#include <stdexcept>

#include "foundation/errors.h"
#include "foundation/process_calls.h"
#include "diagnostics/guarded_call.h"
#include "logging/logline.h"
#include "threading/native_thread.h"
#include "threading/pool_work.h"
#include "foundation/waitable.h"
#include "threading/work_queue.h"

namespace krCore {
namespace {

// The source name the exception analysis reports for this file.
constexpr const char* kFile = "ThreadpoolDynamic";

constexpr const char* kMinTooLow =
    "ThreadpoolDynamic::SetMinThreads() - error: minimum number of threads must be more than zero.";
constexpr const char* kMaxTooLow =
    "ThreadpoolDynamic::SetMinThreads() - error: maximum number of threads must be greater than "
    "minimum number.";

}  // namespace

ThreadpoolDynamic::threadinfo_t::threadinfo_t() = default;

ThreadpoolDynamic::WorkItem_t::WorkItem_t(AtomicCounter_t& running,
                                          std::shared_ptr<IThreadwork> work)
    : _running(running), _work(std::move(work)) {}

std::atomic<threadpool_wrapper_t> ThreadpoolDynamic::_threadPoolWrapperFunc{nullptr};
std::atomic<void*> ThreadpoolDynamic::_wrapperParam{nullptr};

ThreadpoolDynamic::ThreadpoolDynamic()
    : ThreadpoolDynamic(THREAD_COUNT, THREAD_COUNT, MAX_QUEUE_SIZE) {}

ThreadpoolDynamic::ThreadpoolDynamic(int threads, unsigned int max_queue_size)
    : ThreadpoolDynamic(threads, threads, max_queue_size) {}

ThreadpoolDynamic::ThreadpoolDynamic(int min_threads, int max_threads, unsigned int max_queue_size)
    : _minThreads(min_threads),
      _maxThreads(max_threads),
      _queue(std::make_unique<detail::work_queue>(max_queue_size)),
      _launch(std::make_unique<detail::pool_launch>()) {
  VerifyMinThreads(min_threads);
  VerifyMaxThreads(max_threads);
}

ThreadpoolDynamic::~ThreadpoolDynamic() {
  try {
    shutdown(10000);
    _launch->not_ended.join_all();
  } catch (...) {  // a destructor must not throw; the logging path may
  }
}

// ---------------------------------------------------------------------------
// Limits and settings.
// ---------------------------------------------------------------------------

void ThreadpoolDynamic::VerifyMinThreads(int min_threads) {
  if (min_threads < 1) throw std::runtime_error(kMinTooLow);
}

void ThreadpoolDynamic::VerifyMaxThreads(int max_threads) {
  if (max_threads < _minThreads.load()) throw std::runtime_error(kMaxTooLow);
}

void ThreadpoolDynamic::SetMinThreads(int min_threads) {
  VerifyMinThreads(min_threads);
  if (min_threads == _minThreads.load()) return;
  const long previous = _minThreads.exchange(min_threads);
  if (min_threads < previous)
    CheckMinThreads();
  else
    CheckMaxThreads(0);
}

void ThreadpoolDynamic::SetMaxThreads(int max_threads) {
  VerifyMaxThreads(max_threads);
  if (max_threads == _maxThreads.load()) return;
  _maxThreads.exchange(max_threads);
  CheckMaxThreads(0);
}

long ThreadpoolDynamic::GetMinThreads() const { return _minThreads.load(); }
long ThreadpoolDynamic::GetMaxThreads() const { return _maxThreads.load(); }

unsigned long ThreadpoolDynamic::SetIdleTimeout(unsigned long timeout_ms) {
  return _idleTimeout.exchange(detail::saturated_wait_ms(timeout_ms));
}
unsigned long ThreadpoolDynamic::GetIdleTimeout() const { return _idleTimeout.load(); }

unsigned int ThreadpoolDynamic::ThreadsCount() const {
  auto_lock lock(_threadsLock);
  return static_cast<unsigned int>(_threads.size());
}
unsigned int ThreadpoolDynamic::AtomicThreadsCount() const {
  return static_cast<unsigned int>(_threadCount.load());
}
unsigned int ThreadpoolDynamic::RunningWorksCount() const {
  return static_cast<unsigned int>(_running.Counter());
}
void* ThreadpoolDynamic::RunningWorksDone() { return static_cast<void*>(_running.DoneEvent()); }

void ThreadpoolDynamic::SetThreadPoolWrapperFunc(threadpool_wrapper_t func, void* param) {
  _wrapperParam.exchange(param);
  _threadPoolWrapperFunc.exchange(func);
}
threadpool_wrapper_t ThreadpoolDynamic::GetThreadPoolWrapperFunc() {
  return _threadPoolWrapperFunc.load();
}
void* ThreadpoolDynamic::GetThreadPoolWrapperParam() { return _wrapperParam.load(); }

unsigned int ThreadpoolDynamic::WaitingWorkCount() const { return _queue->size(); }

// ---------------------------------------------------------------------------
// The thread table.
// ---------------------------------------------------------------------------

int ThreadpoolDynamic::CreateThreads(int count) {
  if (count < 1 || !IsAlive()) return 0;
  auto_lock lock(_threadsLock);
  return CreateThreadsImpl(count);
}

int ThreadpoolDynamic::CreateThreadsImpl(int count) {
  if (count <= 0 || !IsAlive()) return 0;
  std::vector<std::shared_ptr<threadinfo_t>> created;
  const auto max = static_cast<size_t>(std::max(0L, _maxThreads.load()));
  for (int i = 0; i < count && _threads.size() < max; ++i) {
    auto info = std::make_shared<threadinfo_t>();
    DWORD id = 0;
    HANDLE h = detail::create_thread_gated(&ThreadpoolDynamic::threadfunc, this, &id);
    if (!h) {
      detail::pool_log(detail::kLogError,
                       L"ThreadpoolDynamic::CreateThreadsImpl() - failed to create thread, errno [",
                       detail::runtime_error_number(), L"]");
      continue;
    }
    info->_handle.reset(h, CloseHandleImpl);
    info->_id = id;
    _threadCount.fetch_add(1);
    _threads[id] = info;
    created.push_back(std::move(info));
  }
  for (const auto& info : created) {
    if (detail::resume_thread(info->_handle.get())) continue;
    const unsigned long error = ::GetLastError();
    detail::pool_log(detail::kLogError,
                     L"ThreadpoolDynamic::CreateThreadsImpl() - failed to resume thread ID [",
                     info->_id, L"], error [", error, L"], (0x", std::hex, error, std::dec, L") - ",
                     geterrormessage(error));
    detail::terminate_thread(info->_handle.get());
    _threadCount.fetch_sub(1);
    _threads.erase(info->_id);
  }
  return static_cast<int>(created.size());
}

std::shared_ptr<ThreadpoolDynamic::threadinfo_t> ThreadpoolDynamic::GetThreadInfo(
    unsigned int thread_id) {
  auto_lock lock(_threadsLock);
  auto it = _threads.find(thread_id);
  return it == _threads.end() ? nullptr : it->second;
}

void ThreadpoolDynamic::CheckMinThreads() {
  auto_lock lock(_threadsLock);
  for (auto& entry : _threads) entry.second->_maintenance.signal();
}

int ThreadpoolDynamic::GrowthWanted(long threads, unsigned int extra) const {
  const long min = _minThreads.load();
  const long max = _maxThreads.load();
  long wanted = min;  // a minimum above the maximum is capped by the creation
  if (threads < max && max > min) {
    const unsigned long long busy =
        static_cast<unsigned long long>(_running.Counter()) + _queue->size() + extra;
    wanted = std::max(wanted, static_cast<long>(std::min<unsigned long long>(busy, max)));
  }
  return wanted > threads ? static_cast<int>(wanted - threads) : 0;
}

void ThreadpoolDynamic::CheckMaxThreads(unsigned int extra) {
  // A lock-free look first; the table is consulted under its lock only when
  // the pool seems to need threads, so concurrent submitters do not
  // overshoot.
  if (GrowthWanted(_threadCount.load(), extra) == 0) return;
  auto_lock lock(_threadsLock);
  CreateThreadsImpl(GrowthWanted(static_cast<long>(_threads.size()), extra));
}

bool ThreadpoolDynamic::TryThreadRemove(unsigned int thread_id) {
  auto_lock lock(_threadsLock);
  if (_threads.size() <= static_cast<size_t>(std::max(0L, _minThreads.load()))) return false;
  ThreadRemove(thread_id, false);
  return true;
}

unsigned int ThreadpoolDynamic::ThreadRemove(unsigned int thread_id, bool quiet) {
  auto_lock lock(_threadsLock);
  auto it = _threads.find(thread_id);
  if (it != _threads.end()) {
    _threadCount.fetch_sub(1);
    // The thread may be the caller, on its way out through pool code: it
    // stays known to shutdown until its handle shows it ended.
    std::erase_if(_leaving, [](const std::shared_ptr<threadinfo_t>& gone) {
      HANDLE h = gone->_handle.get();
      return detail::wait_any(&h, 1, 0) == detail::kWaitObject0;
    });
    _leaving.push_back(std::move(it->second));
    _threads.erase(it);
    detail::pool_log(detail::kLogVerbose, L"ThreadpoolDynamic::ThreadRemove - removing thread ID [",
                     thread_id, L"]");
  } else if (!quiet) {
    detail::pool_log(detail::kLogVerbose,
                     L"ThreadpoolDynamic::ThreadRemove - failed to find thread ID [", thread_id,
                     L"]");
  }
  return static_cast<unsigned int>(_threads.size());
}

void ThreadpoolDynamic::ThreadsClear() {
  auto_lock lock(_threadsLock);
  detail::pool_log(detail::kLogVerbose,
                   L"ThreadpoolDynamic::ThreadsClear() - thread counters: atomic [",
                   _threadCount.load(), L"], pool [", _threads.size(), L"]");
  _threadCount.store(0);
  _threads.clear();
  _leaving.clear();
}

unsigned int ThreadpoolDynamic::GetThreadHandles(std::vector<std::shared_ptr<threadinfo_t>>& out) {
  auto_lock lock(_threadsLock);
  out.clear();
  for (const auto& entry : _threads) out.push_back(entry.second);
  return static_cast<unsigned int>(out.size());
}

unsigned long ThreadpoolDynamic::GetWaitTimeTimeout() {
  return _threadCount.load() > _minThreads.load() ? _idleTimeout.load() : INFINITE;
}

// ---------------------------------------------------------------------------
// Start, submission and shutdown.
// ---------------------------------------------------------------------------

int ThreadpoolDynamic::start() {
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  auto_lock lifecycle(_lifecycle);
  join_self_ending(10000);
  {
    auto_lock lock(_threadsLock);
    if (IsAlive()) return static_cast<int>(_threads.size());
    if (!_threads.empty())
      throw std::runtime_error("ThreadpoolDynamic::start() - error: already started.");
    _alive.exchange(1);
    _shutdownEvent.reset();
    const int wanted = static_cast<int>(_minThreads.load());
    _launch->expect(wanted);
    _launch->not_started(wanted - CreateThreadsImpl(wanted));
  }
  // Outside the table's lock, which a new thread takes to find its entry;
  // a thread whose wrapper failed has left the table by its report.
  _launch->wait(10000);
  return static_cast<int>(ThreadsCount());
}

void ThreadpoolDynamic::submitwork(const std::shared_ptr<IThreadwork>& work) {
  if (!IsAlive()) throw threadpool_shutdown_exception();
  if (!work)
    throw std::runtime_error(
        "ThreadpoolDynamic::submitwork() - invalid parameter: work pointer is NULL.");
  SetThreadpoolPtr(work.get());
  // A pool at its maximum cannot grow: the growth rule is skipped then, so
  // that a full-sized busy pool pays nothing for it per item. The look after
  // the push is taken afresh, since a thread may have retired meanwhile.
  auto below_maximum = [this] {
    return _threadCount.load(std::memory_order_relaxed) <
           _maxThreads.load(std::memory_order_relaxed);
  };
  if (below_maximum()) CheckMaxThreads(1);
  _queue->push(work);
  if (below_maximum()) CheckMaxThreads(0);
}

void ThreadpoolDynamic::submitwork(IThreadwork* work) {
  submitwork(std::shared_ptr<IThreadwork>(work));
}

bool ThreadpoolDynamic::join_self_ending(unsigned long timeout_ms) {
  if (!_selfEnding) return true;
  // The item that shut the pool down asks again: its thread is still busy.
  if (detail::is_current_thread(_selfEnding->_id)) return true;
  const bool ended = detail::join_or_end_thread(_selfEnding->_handle.get(), _selfEnding->_id,
                                                timeout_ms, _launch->not_ended);
  _selfEnding.reset();
  return ended;
}

bool ThreadpoolDynamic::shutdown(unsigned long timeout_ms) {
  auto_lock lifecycle(_lifecycle);
  if (!IsAlive()) {
    const bool self_ended = join_self_ending(timeout_ms);
    return _launch->not_ended.join(timeout_ms) && self_ended;
  }
  CountdownTimer_t timer(timeout_ms);
  _alive.exchange(0);
  std::vector<std::shared_ptr<threadinfo_t>> threads;
  {
    auto_lock lock(_threadsLock);
    GetThreadHandles(threads);
    threads.insert(threads.end(), _leaving.begin(), _leaving.end());
  }
  _shutdownEvent.signal();
  detail::pool_log(detail::kLogVerbose, L"ThreadpoolDynamic::shutdown() called with [", timeout_ms,
                   L"] ms timeout, threads [", threads.size(), L"]");

  unsigned long wait = timeout_ms;
  unsigned long terminated = 0;
  for (const auto& info : threads) {
    if (detail::is_current_thread(info->_id)) {
      // A work item shuts its own pool down: its thread ends by itself once
      // the item returns, and the next shutdown waits for it.
      _selfEnding = info;
      continue;
    }
    HANDLE h = info->_handle.get();
    if (detail::wait_any(&h, 1, wait) == detail::kWaitObject0) continue;
    detail::pool_log(detail::kLogVerbose,
                     L"ThreadpoolDynamic::shutdown() - terminating thread ID [", info->_id, L"]");
    _launch->not_ended.end(h, info->_id);
    ++terminated;
    wait = 100;
  }
  threads.clear();
  ThreadsClear();
  _queue->discard();
  // Items whose threads were ended by force never stop counting as running;
  // the item that shuts its own pool down still runs and counts itself out.
  const unsigned long still_running = _selfEnding ? 1 : 0;
  while (_running.Counter() > still_running) _running.Decrement();
  detail::pool_log(detail::kLogVerbose, L"ThreadpoolDynamic::shutdown() completed, elapsed [",
                   timer.Elapsed_s(), L"] s, threads terminated [", terminated, L"]");
  return terminated == 0;
}

// ---------------------------------------------------------------------------
// The pool threads.
// ---------------------------------------------------------------------------

unsigned int ThreadpoolDynamic::threadfunc(void* pool) {
  auto* self = static_cast<ThreadpoolDynamic*>(pool);
  return detail::enter_pool_thread(
      _threadPoolWrapperFunc, _wrapperParam, &ThreadpoolDynamic::threadbody, pool, *self->_launch,
      kFile, 190,
      [self] { self->ThreadRemove(static_cast<unsigned int>(detail::current_thread_id()), true); });
}

unsigned int ThreadpoolDynamic::threadbody(void* p) {
  auto* pool = static_cast<ThreadpoolDynamic*>(p);
  pool->_launch->entered();
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  detail::guarded_call(guard, kFile, 209, [&] {
    const auto id = static_cast<DWORD>(detail::current_thread_id());
    std::shared_ptr<threadinfo_t> info = pool->GetThreadInfo(id);
    if (!info) {
      detail::pool_log(detail::kLogWarning,
                       L"ThreadpoolDynamic::threadfunc() - failed to get thread information, "
                       L"thread ID [",
                       id, L"]");
      return;
    }
    detail::guarded_call(guard, kFile, 200, [&] { pool->runhandler(*info); });
    guard.clear();
    pool->ThreadRemove(id, true);
  });
  return 0;
}

void ThreadpoolDynamic::runhandler(threadinfo_t& info) {
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  thread_preexecute(info);
  HANDLE handles[3] = {_queue->items(), static_cast<void*>(info._maintenance),
                       static_cast<void*>(_shutdownEvent)};
  // `current` holds this thread's share of the running count. It is taken
  // before the pop, outside the queue's lock (so the pop takes no second
  // lock), which also keeps a count of running plus queued items from ever
  // missing an item on its way to this thread. While items keep coming
  // within the short spin for work, the share passes from one item to the
  // next, so a busy thread neither moves the count through 0 (and its done
  // event) between items nor pays for the count per item; it is let go
  // before the thread sleeps and when the queue comes back empty.
  std::optional<WorkItem_t> current;
  detail::look_pace pace;
  DWORD result;
  for (;;) {
    // A thread marked for a forced end (while in the hook above or in the
    // wait's idle probe) ends before it touches the pool again.
    detail::end_thread_if_killed();
    result = 0;
    if (!_queue->spin_for_item(pace)) {
      current.reset();
      result = _queue->sleep_for_item(handles, 3, GetWaitTimeTimeout());
    }
    detail::end_thread_if_killed();
    if (result == 0) {
      if (!IsAlive()) break;
      bool end_thread = false;
      detail::guarded_call(guard, kFile, 372, [&] {
        if (current)
          current->_work.reset();  // the finished item, released outside the lock
        else
          current.emplace(_running, nullptr);
        _queue->pop([&](std::shared_ptr<IThreadwork>& work) { current->_work = std::move(work); });
        if (!current->_work) {
          current.reset();
          return;
        }
        const bool returned = detail::execute_work(guard, *current->_work, kFile, 368);
        // A forced end asked for while the item ran ends the thread here:
        // the item counts as ended by force, never as completed, and the
        // thread runs no hook of the pool's.
        detail::end_thread_if_killed();
        if (!returned) {
          current.reset();
          end_thread = true;
          return;
        }
        SetCompleted(current->_work.get());
      });
      if (end_thread) {
        thread_postexecute(info);
        return;
      }
      guard.clear();
      continue;
    }
    current.reset();
    if (!IsAlive()) break;
    if (result == 1) {
      detail::pool_log(detail::kLogVerbose,
                       L"ThreadpoolDynamic::runhandler - maintenance for thread ID [", info._id,
                       L"], wait code [", result, L"], alive flag [", _alive.load(), L"]");
      continue;
    }
    if (result == detail::kWaitTimedOut) {
      auto_lock lock(_threadsLock);
      if (_threads.size() > static_cast<size_t>(std::max(0L, _minThreads.load()))) {
        ThreadRemove(info._id, false);
        // A submitter that counted this thread as idle may have queued an
        // item meanwhile: make sure a thread is there for it.
        if (_queue->size() != 0) CheckMaxThreads(0);
        break;
      }
      detail::pool_log(detail::kLogVerbose,
                       L"ThreadpoolDynamic::runhandler - timeout for thread ID [", info._id,
                       L"], wait code [", result, L"], alive flag [", _alive.load(), L"]");
      continue;
    }
    break;
  }
  detail::pool_log(detail::kLogVerbose, L"ThreadpoolDynamic::runhandler - shutdown thread ID [",
                   info._id, L"], wait code [", result, L"], alive flag [", _alive.load(), L"]");
  thread_postexecute(info);
}

void ThreadpoolDynamic::thread_preexecute(threadinfo_t&) {}
void ThreadpoolDynamic::thread_postexecute(threadinfo_t&) {}

}  // namespace krCore
