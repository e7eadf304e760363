// Internal: the bounded first-in first-out queue of a thread pool.
//
// Submitters and pool threads work at opposite ends of a chain of fixed-size
// segments, each end under its own lock, so that a submitter and a pool
// thread never wait for each other: the tail lock orders submitters, the
// head lock orders pool threads. Two running counts tell the ends about each
// other: `_pushed` (the tail's, raised once an item is in its slot) and
// `_popped` (the head's, raised once an item left its slot); their
// difference is the number of waiting items. Each count carries its end's
// lock in its lowest bit (see counted_lock), so the store that publishes a
// new count also lets the end go. The slot contents and the segment links
// are published by the `_pushed` store that follows them.
// Emptied segments are kept for reuse, so a queue that holds steady
// allocates nothing. Each end and each count sits on its own cache line, so
// a busy pool moves only the lines that carry items and counts between
// cores.
//
// A submitter appends at once while the queue is below its maximum and
// sleeps on the manual-reset room event only while it is full. Before it
// sleeps it resets the event, counts itself as a room waiter and looks at
// the head's count again; a removal stores its count and then, while any
// submitter counts as a waiter, sets the event. Both sides change the
// waiter count with a read-modify-write, so whichever comes second sees the
// other's work: the removal's signal follows the reset, or the submitter
// sees the room. No submitter sleeps beside room; a submitter that reset the
// event and then found room sets it again for the ones already asleep.
//
// Pool threads that find the queue empty sleep in the library's wait on a
// semaphore (with whatever other handles the pool adds). The semaphore is
// released only for a thread that sleeps or is about to: a thread registers
// as idle and then looks at the queue once more; a submitter publishes its
// item and then claims one registration (if there is any) and releases one
// unit for it. Each side writes before it reads, sequentially consistent, so
// at least one of them sees the other: no item is left without a thread, and
// a busy pool signals nothing per item. A thread that leaves the wait
// without using a unit withdraws one registration. Registrations are
// anonymous, so a thread may withdraw one whose unit was already released;
// that unit then wakes another sleeper or makes a later wait return at once
// to an empty queue, so that idle registrations plus released units always
// cover the threads that may sleep.
#pragma once

#include <krcore/threading.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "foundation/compiler.h"
#include "foundation/spin_lock.h"

namespace krCore::detail {

// What a watching pool thread asks, on each look that finds the queue empty,
// of the one source of work that can say more (see set_idle_probe): `none`
// when no work is due soon, `soon` when some is, so that the thread keeps
// watching, and `submitted` when the call itself queued work.
class idle_probe {
 public:
  enum class answer { none, soon, submitted };
  virtual answer look() noexcept = 0;

 protected:
  ~idle_probe() = default;
};

// How far apart one pool thread's looks at an empty queue come (see
// work_queue::spin_for_item). Each thread keeps its own and carries it from
// one wait to the next; it is not shared, so it needs no synchronisation.
class look_pace {
 public:
  // The shortest gap between two looks, in processor pauses.
  static constexpr int kMinGapPauses = 8;

 private:
  friend class work_queue;
  int _gap = kMinGapPauses;  // pauses between two looks
};

// A running count whose lowest bit locks one end of the queue: the end is
// taken by setting the bit (one read-modify-write on the count's line, which
// the holder needs anyway) and handed back by the store that publishes the
// new count, so that a push or a removal costs one atomic read-modify-write
// and one store. An end is held for a few dozen instructions: a thread that
// finds it taken spins briefly and then yields its processor (to a holder
// that may have lost it) instead of sleeping.
class counted_lock {
 public:
  // Takes the lock; returns the count. The holder is held off from a
  // forced end (see kill_hold.h).
  unsigned long long lock() {
    const unsigned long long word = _word.fetch_or(1, std::memory_order_acquire);
    const unsigned long long count = (word & 1) == 0 ? word >> 1 : lock_contended();
    enter_kill_hold();
    return count;
  }
  // Hands the lock back with `count` as the new count, stored with `order`.
  void unlock(unsigned long long count, std::memory_order order) {
    _word.store(count << 1, order);
    leave_kill_hold();
  }
  // The count; while the lock is held, the count before the holder's change.
  unsigned long long count(std::memory_order order) const { return _word.load(order) >> 1; }

 private:
  unsigned long long lock_contended();
  std::atomic<unsigned long long> _word{0};
};

class work_queue {
 public:
  // At most `max_size` items wait (at least 1 is needed). Throws
  // semaphore_exception / eventexception when the objects cannot be created.
  explicit work_queue(unsigned int max_size);
  ~work_queue();
  work_queue(const work_queue&) = delete;
  work_queue& operator=(const work_queue&) = delete;

  // Appends `work`, blocking while the queue is full, and wakes a sleeping
  // thread if there is one. Throws std::bad_alloc when a segment cannot be
  // allocated (the queue is unchanged then).
  void push(const std::shared_ptr<IThreadwork>& work);
  // The same without blocking: false, and nothing appended, when the queue
  // is full.
  bool try_push(const std::shared_ptr<IThreadwork>& work);

  // Installs the probe the watching thread asks while the queue is empty
  // (null removes it). Returns once no thread is inside the previous
  // probe's look(), so that its owner may go away. The probe's look() runs
  // on a pool thread with the probe's lock held: it must not wait for long,
  // and whatever it queues it queues with try_push.
  void set_idle_probe(idle_probe* probe);

  // Returns 0 at once when an item is queued (take it with pop, which may
  // still come back empty when another thread was quicker); otherwise waits
  // on `handles` (handles[0] must be items()) for at most `timeout_ms` and
  // returns the wait's result. The same as spin_for_item() followed, when
  // that finds nothing, by sleep_for_item().
  DWORD wait_for_item(look_pace& pace, const HANDLE* handles, DWORD count,
                      unsigned long long timeout_ms) {
    return spin_for_item(pace) ? 0 : sleep_for_item(handles, count, timeout_ms);
  }
  // Looks for a queued item for some microseconds without a system call:
  // true when there is one. The looks come `pace` apart, and the pace
  // adapts to how items arrive: the looks spread out while each finds
  // several items (a submitter streams work, and every look takes a cache
  // line away from it) and close up again while items come singly (someone
  // waits for each one).
  bool spin_for_item(look_pace& pace) const;
  // Waits as wait_for_item does, after the short spin found nothing: one
  // thread of the pool at a time (the watcher) looks for work a while
  // longer before it sleeps, so that work arriving at a steady pace is
  // taken up without a wake-up on either side; the others register as idle
  // and sleep at once. Returns 0 as soon as an item is queued.
  DWORD sleep_for_item(const HANDLE* handles, DWORD count, unsigned long long timeout_ms);

  // Removes and returns the front item, or empty when the queue is empty
  // (a thread may hold a unit for an item that discard() took).
  // `on_taken(item)` runs under the head lock before the item stops counting
  // as queued, so that a count of running plus queued items never misses an
  // item that is on its way from the queue to a thread; it may move the item
  // away (pop then returns what it left).
  template <class OnTaken>
  std::shared_ptr<IThreadwork> pop(OnTaken&& on_taken) {
    std::shared_ptr<IThreadwork> work;
    unsigned long long waiting;
    {
      const unsigned long long popped = _popped.lock();
      waiting = take_front(popped, work, on_taken);
      _popped.unlock(waiting == 0 ? popped : popped + 1, std::memory_order_release);
      if (waiting == 0) return work;
    }
    const bool more = waiting > 1;
    open_room(waiting >= _max);
    // A submitter that saw the watcher woke nobody: pass the wake-up on
    // while items remain, so that a burst spreads over the sleeping threads.
    if (more) wake_idle();
    return work;
  }
  std::shared_ptr<IThreadwork> pop() {
    return pop([](std::shared_ptr<IThreadwork>&) {});
  }

  // The number of queued items (a snapshot; never more than were queued at
  // any moment of the call).
  unsigned int size() const;
  // Drops every queued item without running it, takes back the semaphore's
  // units, the idle registrations and the watch, and wakes blocked
  // submitters. Only while no pool thread runs; items appended meanwhile
  // may stay queued.
  // The items' destructors run outside the queue's locks.
  void discard();
  // The semaphore pool threads sleep on.
  void* items() { return static_cast<void*>(_items); }

 private:
  // Slots per segment: a segment stays below a kilobyte, which the
  // allocator serves from its per-thread caches without reorganising its
  // free lists.
  static constexpr unsigned kSlots = 62;
  // How many emptied segments are kept for reuse (about 64 KiB).
  static constexpr unsigned kSpares = 64;
  struct segment {
    segment* next = nullptr;
    std::shared_ptr<IThreadwork> slots[kSlots];
  };

  // Under the head lock, taken at `popped`: moves the front item into
  // `work` and runs `on_taken(work)`; the caller then stores the new count.
  // Returns the number of items that were waiting before (0: none, `work`
  // untouched); on a queue without exact removals, the number may be lower
  // than the true one (never 0 while an item waits).
  template <class OnTaken>
  unsigned long long take_front(unsigned long long popped, std::shared_ptr<IThreadwork>& work,
                                OnTaken&& on_taken) {
    unsigned long long pushed = _head.pushed_seen;
    if (pushed == popped || _exactRemovals) {
      pushed = _head.pushed_seen = _pushed.count(std::memory_order_seq_cst);
      if (pushed == popped) return 0;
    }
    if (_head.index == kSlots) advance_head();
    work = std::move(_head.seg->slots[_head.index++]);
    // The next item is in its slot already: its object is fetched now, so
    // that the cache miss on it overlaps with running this one.
    if (pushed - popped > 1 && _head.index < kSlots)
      KRCORE_PREFETCH(_head.seg->slots[_head.index].get());
    on_taken(work);
    return pushed - popped;
  }
  // Moves the head to the next segment, which the tail has linked before it
  // published an item there, and hands the old one to the spares.
  void advance_head();
  // Hands out a spare segment, or a new one.
  segment* take_segment();
  // Appends under the tail lock while the queue is below its maximum; false
  // when it is full. Throws std::bad_alloc (nothing appended) when a segment
  // cannot be allocated.
  bool append(const std::shared_ptr<IThreadwork>& work);
  // After a removal (`was_full`: it left a full queue): sets the room event
  // when a submitter may wait for it.
  void open_room(bool was_full);
  // After an append: wakes a sleeping thread unless the watcher will take
  // the item.
  void wake_for_push();
  // The probe's answer, or none when there is no probe or another thread
  // is changing it.
  idle_probe::answer ask_probe();
  // Takes one idle registration away; false when there was none.
  bool claim_idle();
  // Claims an idle registration, if there is one, and releases a unit of
  // the semaphore for it.
  void wake_idle();

  // Each end's position on a line of its own, and each count (with its
  // end's lock) on another: a pool thread that looks at the counts while it
  // waits for work takes away only the count's line from a submitter.
  struct alignas(64) tail_end {
    segment* seg = nullptr;
    unsigned index = 0;
    // The last `_popped` this end read: the queue is surely below its
    // maximum while pushed - popped_seen is, so the head's count is read
    // only near the maximum.
    unsigned long long popped_seen = 0;
  };
  struct alignas(64) head_end {
    segment* seg = nullptr;
    unsigned index = 0;
    // The last `_pushed` this end read: every item below it is in its slot,
    // so the tail's count is read again only when the head has caught up
    // with it, and a pool thread that is behind does not pull the line the
    // submitter writes on every push.
    unsigned long long pushed_seen = 0;
  };

  tail_end _tail;
  head_end _head;
  alignas(64) counted_lock _pushed;  // the tail's count and lock
  alignas(64) counted_lock _popped;  // the head's count and lock
  alignas(64) std::atomic<unsigned int> _idle{0};  // registrations not yet claimed
  std::atomic<unsigned int> _watcher{0};           // 1 while a thread watches for work
  // Submitters that found the queue full and may sleep on the room event.
  alignas(64) std::atomic<unsigned int> _roomWaiters{0};
  const bool _watch;                               // false on a single processor
  // True when the queue can fill up in practice: each removal then reads the
  // tail's count, to know whether it leaves a full queue (whose submitters
  // wait for room). A larger queue (its items alone would take gigabytes)
  // never fills, and its removals go by the head's last look at the count.
  const bool _exactRemovals;
  // The probe and the lock that keeps it from being replaced while a
  // watcher is inside it.
  library_mutex _probeLock;
  idle_probe* _probe = nullptr;
  // Emptied segments kept for reuse. Only the head end (one pool thread at
  // a time, under the head lock) hands them in and only the tail end (one
  // submitter at a time, under the tail lock) takes them out, so a ring with
  // one writer and one reader carries them without a lock of its own, and
  // neither end takes a second lock.
  alignas(64) std::atomic<unsigned> _sparesIn{0};   // written by the head end
  alignas(64) std::atomic<unsigned> _sparesOut{0};  // written by the tail end
  segment* _spareRing[kSpares] = {};
  const unsigned int _max;
  semaphore _items;
  manualresetevent _room;
};

}  // namespace krCore::detail
