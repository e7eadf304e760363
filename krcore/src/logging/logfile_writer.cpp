// The log file writer: per-thread encoding, the queue, and group commit.
#include "foundation/compiler.h"
#include "logging/logfile_writer.h"

#include <algorithm>
#include <memory>
#include <new>
#include <mutex>
#include <utility>

#include "foundation/fork_child.h"
#include "foundation/spin_lock.h"
#include "foundation/utf.h"
#include "logging/line_slot.h"

namespace krCore::detail {
namespace {

constexpr unsigned char kByteOrderMark[] = {0xFF, 0xFE};
constexpr unsigned long kErrorFileTooLarge = 223;

// How long a thread spins on another thread's write before it sleeps (a
// pause is some 10 to 150 cycles, depending on the processor).
constexpr int kWaitSpins = 300;
// How long a thread whose line waits in the queue watches the file stay
// unused before it writes the line itself.
constexpr int kQuietSpins = 60;

}  // namespace

std::atomic<unsigned> g_log_check_interval_ms{100};

void set_log_check_interval_ms(unsigned ms) { g_log_check_interval_ms.store(ms); }

// The writers of the process, for fork: a child has only the thread that
// forked, and whatever another thread held (the gate, the file) or had
// queued stays so in the child's copy. Before the fork the forking thread
// takes every writer's gate, so the child's copy of the queue is whole, and
// the child then forgets what the parent's threads were doing.
struct writer_forks {
  spin_lock lock;
  std::vector<log_file_writer*> writers;

  static writer_forks& get() {
    static writer_forks* const forks = [] {
      auto* f = new writer_forks;  // never destroyed: a fork may come during exit
      at_fork(&prepare, &parent, &child);
      return f;
    }();
    return *forks;
  }
  static void prepare() {
    writer_forks& f = get();
    f.lock.lock();
    for (log_file_writer* w : f.writers) w->_gate.lock();
  }
  static void parent() {
    writer_forks& f = get();
    for (log_file_writer* w : f.writers) w->_gate.unlock();
    f.lock.unlock();
  }
  static void child() {
    writer_forks& f = get();
    for (log_file_writer* w : f.writers) {
      w->forget_parent_threads();
      w->_gate.unlock();
    }
    f.lock.unlock();
  }
};

log_file_writer::log_file_writer() {
  writer_forks& f = writer_forks::get();
  const std::lock_guard<spin_lock> lock(f.lock);
  f.writers.push_back(this);
}

log_file_writer::~log_file_writer() {
  close();
  writer_forks& f = writer_forks::get();
  const std::lock_guard<spin_lock> lock(f.lock);
  std::erase(f.writers, this);
}

void log_file_writer::forget_parent_threads() {
  _gate.forget_other_threads();
  _queue.clear();
  _batch.clear();
  _written.store(_queued, std::memory_order_relaxed);
  _io.store(0, std::memory_order_relaxed);
}

unsigned long log_file_writer::open(const std::wstring& path, bool write_through,
                                    bool keep_content) {
  close();
  log_file file;
  file_identity identity;
  std::uint64_t size = 0;
  if (const unsigned long error =
          file.open(_folder, path, write_through, keep_content, identity, size))
    return error;
  _utf8 = _utf8Next;
  if (size == 0 && !_utf8) {
    const std::string_view bom(reinterpret_cast<const char*>(kByteOrderMark),
                               sizeof kByteOrderMark);
    if (const unsigned long error = file.write(&bom, 1)) return error;
    size = bom.size();
  }
  _file = std::move(file);
  _limitReached.store(false, std::memory_order_relaxed);
  _identity = identity;
  _size = size;
  _lastCheck = coarse_milliseconds();
  _checkedSize = size;
  _spin = several_processors();
  return 0;
}

unsigned long log_file_writer::enqueue(std::wstring_view line) {
  unsigned long error = 0;
  char* begin = begin_line(line.size() * 4, error);
  if (!begin) return error;
  const unsigned long written = end_line(_utf8 ? encode_utf8(line, begin) : encode_utf16le(line, begin));
  return error != 0 ? error : written;
}

char* log_file_writer::begin_line(std::size_t bound, unsigned long& error) {
  thread_slot& slot = this_thread_slot();
  error = 0;
  if (slot.writer == this && slot.sequence != 0) {
    const std::uint64_t sequence = slot.sequence;
    slot.sequence = 0;
    error = commit_through(sequence, false);
  }
  if (slot.capacity < bound) {
    const std::size_t capacity = std::max({bound, slot.capacity * 2, std::size_t{512}});
    char* const buffer = new (std::nothrow) char[capacity];
    if (!buffer) {
      error = 8;
      return nullptr;
    }
    if (!slot.ended && !slot.buffer) free_line_buffer_at_thread_end();
    delete[] slot.buffer;
    slot.buffer = buffer;
    slot.capacity = capacity;
  }
  return slot.buffer;
}

unsigned long log_file_writer::end_line(const char* end) {
  thread_slot& slot = this_thread_slot();
  const std::string_view bytes(slot.buffer, static_cast<std::size_t>(end - slot.buffer));
  _queue.push_back(bytes);
  const std::uint64_t sequence = ++_queued;
  _size += bytes.size();
  if (!slot.ended) {
    slot.sequence = sequence;
    slot.writer = this;
    return 0;
  }
  // The thread is ending and nothing frees a buffer it keeps: write the line
  // now and let the buffer go.
  const unsigned long error = commit_through(sequence, false);
  delete[] slot.buffer;
  slot.buffer = nullptr;
  slot.capacity = 0;
  return error;
}

bool log_file_writer::lost_name(std::string& carried) {
  carried.clear();
  drain();
  if (_file.still_named()) {
    _checkedSize = _size;
    return false;
  }
  std::uint64_t size = 0;
  bool unlinked = false;
  if (_file.state(size, unlinked) == 0 && unlinked && size > _checkedSize) {
    // Oldest bytes first to go when there is more than the bound; the
    // offset stays even, on a UTF-16 unit.
    std::uint64_t from = _checkedSize;
    if (size - from > kMaxCarry) from = (size - kMaxCarry + 1) & ~std::uint64_t{1};
    (void)_file.read_at(from, static_cast<std::size_t>(size - from), carried);
  }
  return true;
}

unsigned long log_file_writer::write_raw(std::string_view bytes) {
  unsigned long error = drain();
  while (!try_lock_io()) wait_io(UINT64_MAX);
  if (const unsigned long written = _file.write(&bytes, 1)) error = written;
  note_limit(error);
  unlock_io();
  _size += bytes.size();
  return error;
}

bool log_file_writer::claim_own() {
  thread_slot& slot = this_thread_slot();
  if (slot.writer != this || slot.sequence == 0) return false;
  // Another thread on its way will queue its line behind ours and, being
  // the last, write both in one go; not while this thread holds the lock
  // more than once (a line from the settings report or a callback), as no
  // other thread can come through before it lets go.
  if (!_gate.nested() && _gate.others_arriving() && _spin.load(std::memory_order_relaxed))
    return false;
  if (!try_lock_io()) return false;
  slot.sequence = 0;
  slot.claimed = true;
  take_queue();
  return true;
}

unsigned long log_file_writer::write_taken() {
  const unsigned long error = _batch.empty() ? 0 : _file.write(_batch.data(), _batch.size());
  note_limit(error);
  _batch.clear();
  _written.store(_batchLast, std::memory_order_release);
  unlock_io();
  return error;
}

void log_file_writer::note_limit(unsigned long error) {
  if (error == kErrorFileTooLarge) _limitReached.store(true, std::memory_order_relaxed);
}

void log_file_writer::take_queue() {
  _batch.swap(_queue);
  _batchLast = _queued;
}

unsigned long log_file_writer::commit_own() {
  thread_slot& slot = this_thread_slot();
  if (slot.claimed) {
    slot.claimed = false;
    return write_taken();
  }
  if (slot.writer != this || slot.sequence == 0) return 0;
  const std::uint64_t sequence = slot.sequence;
  slot.sequence = 0;
  return commit_through(sequence, true);
}

unsigned long log_file_writer::drain() { return commit_through(_queued, false); }

bool log_file_writer::try_lock_io() {
  std::uint32_t expected = 0;
  return _io.compare_exchange_strong(expected, kIoHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed);
}

void log_file_writer::unlock_io() {
  if (_io.exchange(0, std::memory_order_release) == kIoHeldWithWaiters) wake_all_on_address(&_io);
}

void log_file_writer::wait_io(std::uint64_t sequence) {
  // A write takes a microsecond or two: spin a few writes' time before
  // sleeping, and stop as soon as the line waited for is written.
  const int spins = _spin.load(std::memory_order_relaxed) ? kWaitSpins : 0;
  for (int spin = 0; spin < spins; ++spin) {
    if (_io.load(std::memory_order_relaxed) == 0 ||
        _written.load(std::memory_order_acquire) >= sequence)
      return;
    cpu_relax();
  }
  std::uint32_t state = _io.load(std::memory_order_relaxed);
  while (state != 0) {
    // Mark that someone sleeps, so the holder's unlock wakes us.
    if (state == kIoHeldWithWaiters ||
        _io.compare_exchange_weak(state, kIoHeldWithWaiters, std::memory_order_relaxed)) {
      wait_on_address(&_io, kIoHeldWithWaiters);
      return;
    }
  }
}

unsigned long log_file_writer::commit_through(std::uint64_t sequence, bool ride) {
  // A thread that writes, or one on its way through the gate, takes the
  // line along: wait for that rather than write it ourselves. A thread that
  // just wrote is likely to come back with its next line at once, so only a
  // spell of some length without a write means nobody will; the thread
  // counted on the way may also have been preempted there, and is not
  // waited for longer than that. A write that takes long is waited for
  // asleep; a gate held long (a settings change) is waited for below,
  // asleep too.
  if (ride && _spin.load(std::memory_order_relaxed)) {
    int quiet = 0;
    for (int spin = 0; quiet < kQuietSpins; ++spin) {
      if (_written.load(std::memory_order_acquire) >= sequence) return 0;
      const bool writing = _io.load(std::memory_order_relaxed) != 0;
      quiet = writing ? 0 : quiet + 1;
      if (spin >= kWaitSpins) {
        if (!writing) break;
        wait_io(sequence);
        spin = 0;
        continue;
      }
      cpu_relax();
    }
  }
  for (;;) {
    if (_written.load(std::memory_order_acquire) >= sequence) return 0;
    std::unique_lock<line_gate> gate(_gate);
    if (_written.load(std::memory_order_acquire) >= sequence) return 0;
    if (try_lock_io()) {
      take_queue();
      gate.unlock();
      return write_taken();
    }
    // Another thread is writing, quite possibly our line too. Never wait
    // for the file with the gate held by this call: the writer may be a
    // thread that drains under the gate.
    gate.unlock();
    wait_io(sequence);
  }
}

unsigned long log_file_writer::state(std::uint64_t& size, bool& unlinked) {
  const unsigned long drained = drain();
  const unsigned long error = _file.state(size, unlinked);
  if (error != 0) return error;
  _size = size;
  return drained;
}

void log_file_writer::flush() {
  if (!_file.is_open()) return;
  drain();
  _file.sync();
}

unsigned long log_file_writer::close() {
  if (!_file.is_open()) return 0;
  const unsigned long error = drain();
  // Nothing is queued and the logger's lock keeps new lines out; a thread
  // may still hold the file lock for a moment with nothing to write.
  while (!try_lock_io()) wait_io(UINT64_MAX);
  _file.close();
  unlock_io();
  _identity = file_identity{};
  _size = 0;
  return error;
}

}  // namespace krCore::detail
