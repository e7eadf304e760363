// The fixed thread pool, its work items and the pool interface.
//
// All threads are created at start, held at their start gate until every one
// is listed, and then released together. A thread that finds the queue empty
// sleeps in the library's wait on [0] the queue's semaphore and [1] the
// shutdown event; it looks at the alive flag before each item, so after a
// shutdown it finishes the item it took and no other. Shutdown waits for
// each thread in turn and ends the ones that outstay their time-out by
// force. A thread that could not be ended is marked: it ends at the next
// point of the loop it reaches (the return from its item at the latest),
// and the pool keeps it until then (see marked_threads).
#include <krcore/diagnostics.h>
#include <krcore/threading.h>
#include <krcore/timing.h>

#include <sstream>
#include <stdexcept>

#include "foundation/errors.h"
#include "diagnostics/guarded_call.h"
#include "threading/native_thread.h"
#include "threading/pool_work.h"
#include "foundation/waitable.h"
#include "threading/work_queue.h"

namespace krCore {
namespace {

// The source name the exception analysis reports for this file.
constexpr const char* kFile = "threadpool";

}  // namespace

// ---------------------------------------------------------------------------
// Work items.
// ---------------------------------------------------------------------------

// The completion state lives in _done; the event mirrors it once somebody
// asked for it. Publishing the event and reading the state, against storing
// the state and reading the event, are sequentially consistent pairs, so
// either the signaller sees the new event or its creator sees the state.

threadwork::threadwork() = default;

threadwork::~threadwork() {
  if (void* event = _completed.load(std::memory_order_acquire)) detail::close_handle(event);
}

void* threadwork::GetCompleteHandle() {
  if (void* event = _completed.load(std::memory_order_acquire)) return event;
  void* event = detail::create_event(true, false, std::wstring());
  if (!event) {
    // Says which call failed and why: the usual cause is a full handle
    // table, which the caller can do something about.
    const unsigned long error = ::GetLastError();
    throw eventexception(
        L"threadwork::GetCompleteHandle() - ERROR: cannot create the completion event, error [" +
        std::to_wstring(error) + L"] " + geterrormessage(error));
  }
  void* expected = nullptr;
  if (!_completed.compare_exchange_strong(expected, event, std::memory_order_seq_cst)) {
    detail::close_handle(event);
    return expected;
  }
  if (_done.load(std::memory_order_seq_cst)) detail::set_event(event);
  return event;
}

void threadwork::SetThreadpoolPtr(IThreadpool* const pool) {
  IThreadpool* current = _pool.load(std::memory_order_acquire);
  for (;;) {
    if (current && pool && current != pool) {
      std::wostringstream text;
      text << L"threadwork::SetThreadpoolPtr() - ERROR: attempt to reset threadpool pointer! "
              L"Current pointer ["
           << static_cast<const void*>(current) << L"], new pointer ["
           << static_cast<const void*>(pool) << L"]";
      detail::pool_log(detail::kLogError, text.str());
      throw w32_exception(text.str().c_str(), detail::kErrorFunctionFailed);
    }
    if (current == pool || _pool.compare_exchange_weak(current, pool, std::memory_order_acq_rel))
      break;
  }
  if (_done.load(std::memory_order_relaxed) != 0) _done.store(0, std::memory_order_seq_cst);
  if (void* event = _completed.load(std::memory_order_seq_cst)) detail::reset_event(event);
}

IThreadpool* threadwork::GetThreadpoolPtr() { return _pool.load(std::memory_order_acquire); }

IThreadpool& threadwork::GetThreadpoolRef() {
  IThreadpool* pool = GetThreadpoolPtr();
  if (!pool) {
    static const wchar_t kText[] =
        L"threadwork::GetThreadpoolRef() - ERROR: attempt to access NULL threadpool pointer!";
    detail::pool_log(detail::kLogError, kText);
    throw w32_exception(kText, detail::kErrorFunctionFailed);
  }
  return *pool;
}

void threadwork::SetCompleted() {
  _done.store(1, std::memory_order_seq_cst);
  if (void* event = _completed.load(std::memory_order_seq_cst)) detail::set_event(event);
}

// ---------------------------------------------------------------------------
// The pool interface and its exceptions.
// ---------------------------------------------------------------------------

IThreadpool::~IThreadpool() = default;

void IThreadpool::SetThreadpoolPtr(IThreadwork* const work) { work->SetThreadpoolPtr(this); }

void IThreadpool::SetCompleted(IThreadwork* const work) { work->SetCompleted(); }

const char* threadpool_shutdown_exception::what() const noexcept {
  return "threadpool_shutdown_exception";
}

const char* thread_shutdown_exception::what() const noexcept { return "thread_shutdown_exception"; }

// ---------------------------------------------------------------------------
// The fixed pool.
// ---------------------------------------------------------------------------

// What each pool thread receives: its pool and its own system id. The pool
// owns the blocks and frees them once their threads have ended, so a thread
// ended by force loses nothing.
struct threadpool::thread_block {
  threadpool* pool;
  DWORD id;
};

std::atomic<threadpool_wrapper_t> threadpool::_threadPoolWrapperFunc{nullptr};
std::atomic<void*> threadpool::_wrapperParam{nullptr};

threadpool::threadpool() : threadpool(THREAD_COUNT, MAX_QUEUE_SIZE) {}

threadpool::threadpool(int thread_count, unsigned int max_queue_size)
    : _threadCount(thread_count),
      _queue(std::make_unique<detail::work_queue>(max_queue_size)),
      _launch(std::make_unique<detail::pool_launch>()) {
  if (thread_count > 0) _threads.reserve(static_cast<size_t>(thread_count));
}

threadpool::~threadpool() {
  try {
    shutdown(10000);
    _launch->not_ended.join_all();
  } catch (...) {  // a destructor must not throw; the logging path may
  }
}

void threadpool::SetThreadPoolWrapperFunc(threadpool_wrapper_t func, void* param) {
  _wrapperParam.exchange(param);
  _threadPoolWrapperFunc.exchange(func);
}

int threadpool::start() {
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  auto_lock lifecycle(_lifecycle);
  if (IsAlive()) return static_cast<int>(_threads.size());
  join_self_ending(10000);
  if (!_threads.empty()) throw std::runtime_error("threadpool::start() - error: already started.");

  if (_threadCount > 0) _threads.reserve(static_cast<size_t>(_threadCount));
  for (int i = 0; i < _threadCount; ++i) {
    auto block = std::make_unique<thread_block>(thread_block{this, 0});
    HANDLE h = detail::create_thread_gated(&threadpool::threadfunc, block.get(), &block->id);
    if (!h) continue;  // the pool runs with fewer threads
    _threads.push_back(h);
    _blocks.push_back(std::move(block));
  }
  _alive.exchange(1);
  _shutdownEvent.reset();
  _launch->expect(static_cast<int>(_threads.size()));
  for (HANDLE h : _threads) detail::resume_thread(h);
  return _launch->wait(10000);
}

int threadpool::start(int thread_count) {
  _threadCount = thread_count;
  return start();
}

int threadpool::GetThreadCount() const { return _threadCount; }

unsigned int threadpool::threadfunc(void* block) {
  // The handle stays listed: shutdown finds the thread ended.
  return detail::enter_pool_thread(_threadPoolWrapperFunc, _wrapperParam, &threadpool::threadbody,
                                   block, *static_cast<thread_block*>(block)->pool->_launch, kFile,
                                   80, [] {});
}

unsigned int threadpool::threadbody(void* p) {
  auto* block = static_cast<thread_block*>(p);
  block->pool->_launch->entered();
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  detail::guarded_call(guard, kFile, 86,
                       [block] { block->pool->runhandler(static_cast<int>(block->id)); });
  return 0;
}

void threadpool::runhandler(int thread_id) {
  se_exception_initializer guard{se_exception_initializer::handler_type()};
  thread_preexecute(thread_id);
  HANDLE handles[2] = {_queue->items(), static_cast<void*>(_shutdownEvent)};
  detail::look_pace pace;
  DWORD result;
  for (;;) {
    // A thread marked for a forced end (while in the hook above or in the
    // wait's idle probe) ends before it touches the pool again.
    detail::end_thread_if_killed();
    result = _queue->wait_for_item(pace, handles, 2, INFINITE);
    detail::end_thread_if_killed();
    if (result != 0 || !IsAlive()) break;
    bool end_thread = false;
    detail::guarded_call(guard, kFile, 122, [&] {
      std::shared_ptr<IThreadwork> work = _queue->pop();
      if (!work) return;
      const bool returned = detail::execute_work(guard, *work, kFile, 118);
      // A forced end asked for while the item ran ends the thread here: the
      // item counts as ended by force, never as completed, and the thread
      // runs no hook of the pool's.
      detail::end_thread_if_killed();
      if (!returned) {
        end_thread = true;
        return;
      }
      SetCompleted(work.get());
    });
    if (end_thread) {
      thread_postexecute(thread_id);
      return;
    }
    guard.clear();
  }
  detail::pool_log(detail::kLogVerbose, L"threadpool::runhandler - shutdown thread ID [", thread_id,
                   L"], wait code [", result, L"], alive flag [", _alive.load(), L"]");
  thread_postexecute(thread_id);
}

void threadpool::submitwork(const std::shared_ptr<IThreadwork>& work) {
  if (!IsAlive()) throw threadpool_shutdown_exception();
  if (!work)
    throw std::runtime_error("threadpool::submitwork() - invalid parameter: work pointer is NULL.");
  SetThreadpoolPtr(work.get());
  _queue->push(work);
}

void threadpool::submitwork(IThreadwork* work) { submitwork(std::shared_ptr<IThreadwork>(work)); }

unsigned int threadpool::WaitingWorkCount() const { return _queue->size(); }

bool threadpool::join_self_ending(unsigned long timeout_ms) {
  if (!_selfEnding) return true;
  // The item that shut the pool down asks again: its thread is still busy.
  if (detail::is_current_thread(_selfEndingBlock->id)) return true;
  const bool ended = detail::join_or_end_thread(_selfEnding, _selfEndingBlock->id, timeout_ms,
                                                _launch->not_ended);
  detail::close_handle(_selfEnding);
  _selfEnding = nullptr;
  _selfEndingBlock.reset();
  return ended;
}

bool threadpool::shutdown(unsigned long timeout_ms) {
  auto_lock lifecycle(_lifecycle);
  if (!IsAlive()) {
    const bool self_ended = join_self_ending(timeout_ms);
    return _launch->not_ended.join(timeout_ms) && self_ended;
  }
  CountdownTimer_t timer(timeout_ms);
  _alive.exchange(0);
  _shutdownEvent.signal();
  detail::pool_log(detail::kLogVerbose, L"threadpool::shutdown() called with [", timeout_ms,
                   L"] ms timeout");

  unsigned long wait = timeout_ms;
  unsigned long terminated = 0;
  for (std::size_t i = 0; i < _threads.size(); ++i) {
    HANDLE h = _threads[i];
    if (detail::is_current_thread(_blocks[i]->id)) {
      // A work item shuts its own pool down: its thread ends by itself once
      // the item returns, and the next shutdown waits for it.
      _selfEnding = h;
      _selfEndingBlock = std::move(_blocks[i]);
      continue;
    }
    if (detail::wait_any(&h, 1, wait) != detail::kWaitObject0) {
      _launch->not_ended.end(h, _blocks[i]->id);
      ++terminated;
      wait = 100;
    }
    detail::close_handle(h);
  }
  _threads.clear();
  _blocks.clear();
  _queue->discard();
  detail::pool_log(detail::kLogVerbose, L"threadpool::shutdown() completed, elapsed [",
                   timer.Elapsed_s(), L"] s, threads terminated [", terminated, L"]");
  return terminated == 0;
}

void threadpool::thread_preexecute(int) {}
void threadpool::thread_postexecute(int) {}

}  // namespace krCore
