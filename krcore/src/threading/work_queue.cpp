// The bounded queue of a thread pool: submission with its wait for room, the
// idle registrations of pool threads, the segment chain, and the discard of
// a stopped pool's items.
#include "threading/work_queue.h"

#include <algorithm>
#include <climits>
#include <thread>
#include <utility>

#include "foundation/kill_hold.h"
#include "foundation/waitable.h"

namespace krCore::detail {

namespace {

// How a thread that found the queue empty looks again before it sleeps,
// without a system call on either side. Each look pulls the submitters'
// count line to this core, and the next submission has to take it back:
// between the processors of a virtual machine that costs as much as the
// submission itself. So the looks come `look_pace` apart: from a fraction
// of a microsecond, for work that someone waits for item by item, to a few
// microseconds while items stream in, so that a submitter appends a dozen
// of them undisturbed and the thread then takes them one after another
// without looking at the count again.
constexpr int kMaxGapPauses = 256;
// Items that arrive less than this many pauses apart make a stream.
constexpr int kStreamPauses = 20;
// How long the thread looks in all before it goes to sleep_for_item.
constexpr int kSpinPauses = 2 * kMaxGapPauses;
// How long the watcher looks: some 50 microseconds, the time a sleeping
// thread takes to wake on a processor that has halted, so that work which
// comes at least that often never waits for a wake-up.
constexpr int kWatcherLooks = 50;
// How many more looks the watcher may take while its probe expects work
// soon: a few milliseconds' worth, the longest a virtual processor is seen
// held up.
constexpr int kWatcherExtraLooks = 5000;
// Queues up to this size read the tail's count on every removal (see
// _exactRemovals): 2^26 waiting items hold 1 GiB in slots alone.
constexpr unsigned int kExactRemovalsLimit = 1u << 26;

}  // namespace

// The semaphore's maximum is not the queue's: stale units may sit beside a
// full queue, and a release must never fail.
// A queue that holds no item would block every submitter for good, as a
// counting semaphore with a maximum of 0 cannot be made: refused here.
static unsigned int checked_size(unsigned int max_size) {
  if (max_size == 0)
    throw semaphore_exception(L"threadpool - the maximum queue size must be at least 1");
  return max_size;
}

work_queue::work_queue(unsigned int max_size)
    : _watch(several_processors()),
      _exactRemovals(max_size <= kExactRemovalsLimit),
      _max(checked_size(max_size)),
      _items(INT_MAX, 0, std::wstring()),
      _room(true, std::wstring()) {
  _tail.seg = _head.seg = new segment;
}

namespace {

template <class Segment>
void delete_chain(Segment* s) {
  while (s) delete std::exchange(s, s->next);
}

}  // namespace

work_queue::~work_queue() {
  delete_chain(_head.seg);
  for (unsigned i = _sparesOut.load(); i != _sparesIn.load(); ++i) delete _spareRing[i % kSpares];
}

work_queue::segment* work_queue::take_segment() {
  const unsigned out = _sparesOut.load(std::memory_order_relaxed);
  if (out != _sparesIn.load(std::memory_order_acquire)) {
    segment* spare = _spareRing[out % kSpares];
    _sparesOut.store(out + 1, std::memory_order_release);
    return spare;
  }
  return new segment;
}

void work_queue::advance_head() {
  segment* done = std::exchange(_head.seg, _head.seg->next);
  _head.index = 0;
  done->next = nullptr;
  const unsigned in = _sparesIn.load(std::memory_order_relaxed);
  if (in - _sparesOut.load(std::memory_order_acquire) < kSpares) {
    _spareRing[in % kSpares] = done;
    _sparesIn.store(in + 1, std::memory_order_release);
    return;
  }
  delete done;  // its slots are empty: this runs no item's destructor
}

unsigned long long counted_lock::lock_contended() {
  // About a microsecond of pauses, longer than an end is held even with a
  // cache miss or two; then the processor goes to whoever needs it.
  constexpr int kSpins = 100;
  for (int i = 0;; ++i) {
    if (i < kSpins)
      cpu_relax();
    else
      std::this_thread::yield();
    if ((_word.load(std::memory_order_relaxed) & 1) != 0) continue;
    const unsigned long long word = _word.fetch_or(1, std::memory_order_acquire);
    if ((word & 1) == 0) return word >> 1;
  }
}

bool work_queue::append(const std::shared_ptr<IThreadwork>& work) {
  const unsigned long long pushed = _pushed.lock();
  // Near the maximum, the head's count is read again.
  if (pushed - _tail.popped_seen >= _max) {
    _tail.popped_seen = _popped.count(std::memory_order_seq_cst);
    if (pushed - _tail.popped_seen >= _max) {
      _pushed.unlock(pushed, std::memory_order_release);
      return false;
    }
  }
  if (_tail.index == kSlots) {
    segment* next;
    try {
      next = take_segment();
    } catch (...) {
      _pushed.unlock(pushed, std::memory_order_release);
      throw;
    }
    _tail.seg->next = next;
    _tail.seg = next;
    _tail.index = 0;
  }
  _tail.seg->slots[_tail.index++] = work;
  // Sequentially consistent: the submitter reads the idle registrations
  // next, and a pool thread registers before it reads this count.
  _pushed.unlock(pushed + 1, std::memory_order_seq_cst);
  return true;
}

void work_queue::push(const std::shared_ptr<IThreadwork>& work) {
  while (!append(work)) {
    // Reset first, then count in: both ends change `_roomWaiters`, so its
    // order decides. If a removal's update comes after this one, it saw
    // this submitter counted and its signal comes after the reset; if it
    // came before, this one acquires it and the look below sees the room.
    _room.reset();
    _roomWaiters.fetch_add(1, std::memory_order_acq_rel);
    if (_pushed.count(std::memory_order_seq_cst) - _popped.count(std::memory_order_seq_cst) <
        _max) {
      // Room came meanwhile: the reset may have taken away the signal that
      // removal gave to submitters already asleep.
      _roomWaiters.fetch_sub(1, std::memory_order_seq_cst);
      _room.signal();
      continue;
    }
    HANDLE room = _room;
    wait_any(&room, 1, INFINITE);
    _roomWaiters.fetch_sub(1, std::memory_order_seq_cst);
  }
  wake_for_push();
}

void work_queue::open_room(bool was_full) {
  // A queue that can fill up checks for room waiters after every removal;
  // one too large to fill (see _exactRemovals) only after leaving a full
  // queue, so that its removals pay for no locked instruction.
  if (!_exactRemovals && !was_full) return;
  // A read-modify-write, not a load: it orders this removal against a
  // submitter counting itself in (see push).
  if (_roomWaiters.fetch_add(0, std::memory_order_acq_rel) != 0) _room.signal();
}

bool work_queue::try_push(const std::shared_ptr<IThreadwork>& work) {
  if (!append(work)) return false;
  wake_for_push();
  return true;
}

void work_queue::wake_for_push() {
  // The watcher takes a lone item without a wake-up; once it leaves the
  // watch it looks at the queue again before sleeping, and when it takes an
  // item with more behind it, pop() wakes a sleeper for the rest. Items
  // already waiting beside this one mean that the watcher is busy or that
  // its processor is held up (on a virtual machine, for milliseconds at
  // times): then a sleeper is woken at once, so one stalled thread does not
  // hold up the queue.
  if (_watcher.load(std::memory_order_seq_cst) != 0 && size() <= 1) return;
  wake_idle();
}

void work_queue::set_idle_probe(idle_probe* probe) {
  std::lock_guard<library_mutex> lock(_probeLock);
  _probe = probe;
}

idle_probe::answer work_queue::ask_probe() {
  std::unique_lock<library_mutex> lock(_probeLock, std::try_to_lock);
  if (!lock || !_probe) return idle_probe::answer::none;
  return _probe->look();
}

bool work_queue::claim_idle() {
  unsigned int idle = _idle.load(std::memory_order_seq_cst);
  while (idle != 0 && !_idle.compare_exchange_weak(idle, idle - 1, std::memory_order_seq_cst)) {
  }
  return idle != 0;
}

void work_queue::wake_idle() {
  // Claim a registration of a thread that sleeps or is about to, if any.
  if (claim_idle()) _items.release(1);
}

bool work_queue::spin_for_item(look_pace& pace) const {
  // A busy pool asks with items waiting: the first look comes before any
  // pause, so that taking the next item costs no pause at all.
  if (size() != 0) return true;
  for (int waited = 0; waited < kSpinPauses;) {
    for (int j = 0; j < pace._gap; ++j) cpu_relax();
    waited += pace._gap;
    const unsigned int found = size();
    if (found == 0) continue;
    // `found` items came within `waited` pauses.
    if (waited < static_cast<long long>(found) * kStreamPauses)
      pace._gap = std::min(2 * pace._gap, kMaxGapPauses);
    else
      pace._gap = std::max(pace._gap / 2, look_pace::kMinGapPauses);
    return true;
  }
  pace._gap = look_pace::kMinGapPauses;
  return false;
}

DWORD work_queue::sleep_for_item(const HANDLE* handles, DWORD count,
                                 unsigned long long timeout_ms) {
  unsigned int none = 0;
  if (_watch && _watcher.compare_exchange_strong(none, 1, std::memory_order_seq_cst)) {
    // Looks at which the probe expects work soon do not count, up to a
    // limit, so that work due in a moment still finds a thread awake.
    bool found = false;
    int extra = kWatcherExtraLooks;
    for (int i = 0; i < kWatcherLooks && !found; ++i) {
      std::this_thread::yield();
      found = size() != 0;
      if (found) break;
      const idle_probe::answer answer = ask_probe();
      if (answer == idle_probe::answer::submitted) {
        found = true;
      } else if (answer == idle_probe::answer::soon && extra > 0) {
        --extra;
        --i;
      }
    }
    // Leaving the watch before the look below (registration, then the
    // queue) makes a submitter that still saw the watcher safe: its item is
    // in the queue by the time this thread looks.
    _watcher.store(0, std::memory_order_seq_cst);
    if (found) return 0;
  }
  _idle.fetch_add(1, std::memory_order_seq_cst);
  const bool empty = size() == 0;
  const DWORD result = empty ? wait_any(handles, count, timeout_ms) : 0;
  if (!empty || result != 0) {
    // Withdraw a registration: this thread does not sleep (any more) with
    // a unit on its way.
    claim_idle();
  }
  return result;
}

unsigned int work_queue::size() const {
  // The head's count first: the tail's, read after it, is never smaller.
  const unsigned long long popped = _popped.count(std::memory_order_seq_cst);
  const unsigned long long pushed = _pushed.count(std::memory_order_seq_cst);
  return static_cast<unsigned int>(pushed - popped);
}

void work_queue::discard() {
  // The items leave as pool threads take them, under the head lock alone,
  // a batch at a time, and are released with no lock held: their
  // destructors may be anything, a submission included.
  constexpr unsigned kBatch = 64;
  for (;;) {
    std::shared_ptr<IThreadwork> batch[kBatch];
    unsigned taken = 0;
    {
      const unsigned long long popped = _popped.lock();
      while (taken < kBatch &&
             take_front(popped + taken, batch[taken], [](std::shared_ptr<IThreadwork>&) {}) != 0)
        ++taken;
      _popped.unlock(popped + taken, std::memory_order_release);
    }
    if (taken < kBatch) break;
  }
  HANDLE items = _items;
  while (wait_any(&items, 1, 0) == kWaitObject0) {
  }
  _idle.store(0, std::memory_order_seq_cst);
  // A thread ended by force while it watched never gave the watch up; left
  // set, it would keep every later submitter from waking a sleeper.
  _watcher.store(0, std::memory_order_seq_cst);
  _room.signal();
}

}  // namespace krCore::detail
