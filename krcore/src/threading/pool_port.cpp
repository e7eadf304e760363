// The two pools' side of the internal interface of detail::pool_base: the
// hook of their queue's watching thread, and the submission that never
// blocks, which the command scheduler's standby uses from a pool thread.
#include <krcore/threading.h>

#include "threading/work_queue.h"

namespace krCore {

void threadpool::set_idle_probe(detail::idle_probe* probe) { _queue->set_idle_probe(probe); }

bool threadpool::try_submit(const std::shared_ptr<IThreadwork>& work) {
  work->SetThreadpoolPtr(this);
  return _queue->try_push(work);
}

void ThreadpoolDynamic::set_idle_probe(detail::idle_probe* probe) {
  _queue->set_idle_probe(probe);
}

bool ThreadpoolDynamic::try_submit(const std::shared_ptr<IThreadwork>& work) {
  // The growth rule of submitwork: grow for the item before it is queued,
  // and once more when the queue took it.
  work->SetThreadpoolPtr(this);
  CheckMaxThreads(1);
  if (!_queue->try_push(work)) return false;
  CheckMaxThreads(0);
  return true;
}

}  // namespace krCore
