// Internal: the open log file and the way lines reach it.
//
// Every line must be in the kernel's hands before `log` returns, so that a
// process that crashes right after loses nothing it logged. Doing that with
// one write per line under the logger's lock would make every thread wait
// for every other thread's system call. Instead the logger, under its lock,
// only encodes the line into the calling thread's own buffer and queues it
// (`enqueue`); after the lock is released the thread makes sure its line
// was written (`commit_own`). The first thread to get at the file writes
// everything queued so far in one gathered write; threads whose lines went
// out with it return without a system call of their own (group commit).
// Rotation, flushing and closing run under the logger's lock and first
// write what is queued (`drain`), so queued lines always belong to the open
// file.
//
// The size is tracked in memory; the system is asked only when the tracked
// size crosses the limit, and every 100 ms to notice a file that was
// removed or renamed under the writer. The lines a removed file took with
// it since the last look are read back from the still-open descriptor and
// carried into the fresh file, so none is lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <krcore/foundation.h>

#include "foundation/internal.h"
#include "logging/logfile_io.h"
#include "foundation/spin_lock.h"

namespace krCore::detail {

// How often the writer asks the system whether its file was removed or
// renamed: 100 ms by default; tests set 0 (every line). Thread-safe.
KRCORE_INTERNAL void set_log_check_interval_ms(unsigned ms);
// The interval set_log_check_interval_ms set; read on every line, so it is
// reached without a call.
KRCORE_INTERNAL extern std::atomic<unsigned> g_log_check_interval_ms;

// The most a writer carries over from a removed file into the fresh one.
inline constexpr std::size_t kMaxCarry = std::size_t{4} << 20;

// Thread-safety: open, enqueue, begin_line/end_line, drain, state, flush and
// close must be serialised by the caller (the logger's lock); arrive,
// depart and commit_own may run on any thread at any time, with or without
// that lock.
class KRCORE_INTERNAL log_file_writer {
 public:
  log_file_writer() = default;
  ~log_file_writer();
  log_file_writer(const log_file_writer&) = delete;
  log_file_writer& operator=(const log_file_writer&) = delete;

  bool is_open() const { return _file.is_open(); }
  const file_identity& identity() const { return _identity; }

  // Opens `path` (see log_file::open) and writes the byte-order mark into an
  // empty file; with `keep_content` an existing file's lines stay and new
  // ones follow them. 0 or a Win32 code; on failure no file is open.
  unsigned long open(const std::wstring& path, bool write_through, bool keep_content = false);

  // Encodes `line` as UTF-16LE into the calling thread's buffer and queues
  // it (begin_line and end_line in one). Returns the first failure's code.
  unsigned long enqueue(std::wstring_view line);

  // The two halves of queueing a line that the caller encodes itself:
  // begin_line returns room for `bound` bytes in the calling thread's
  // buffer, and end_line queues the bytes from there up to `end`. A line the
  // thread queued earlier and has not committed yet (a line logged from
  // inside the logger's callback) is written first, so the buffer can be
  // reused; `error` is 0 or the Win32 code of that earlier write. A null
  // result (no memory for the buffer) queues nothing; `error` says why.
  // end_line returns 0, or the code of the write it makes at once for a
  // thread whose thread-local storage is being torn down.
  char* begin_line(std::size_t bound, unsigned long& error);
  unsigned long end_line(const char* end);

  // Bytes in the file once everything queued is written.
  std::uint64_t tracked_size() const { return _size; }

  // True at most once per check interval (100 ms): time to ask the system
  // about the file. Asked before every line, hence inline.
  bool check_due() {
    const std::int64_t now = coarse_milliseconds();
    if (now - _lastCheck <
        static_cast<std::int64_t>(g_log_check_interval_ms.load(std::memory_order_relaxed)))
      return false;
    _lastCheck = now;
    return true;
  }

  // Drains and asks whether the open file lost its name (see
  // log_file::still_named). When it did and its last link is gone, the lines
  // written since the previous check went with it: `carried` gets them
  // (their last kMaxCarry bytes), for the fresh file. A renamed file keeps
  // its lines, so nothing is carried then.
  bool lost_name(std::string& carried);
  // Writes `bytes` as they are, after everything queued (lines carried
  // over from a removed file). 0 or a Win32 code.
  unsigned long write_raw(std::string_view bytes);

  // Writes everything queued. 0 or the Win32 code of a failed write (the
  // lines are dropped then).
  unsigned long drain();
  // Drains and asks the system for the size and whether the file was
  // unlinked; resynchronises the tracked size. 0 or a Win32 code.
  unsigned long state(std::uint64_t& size, bool& unlinked);
  // Drains and writes the file's data to the device; failures are ignored.
  void flush();
  // Drains and closes; no-op without a file. Returns drain()'s code.
  unsigned long close();

  // Marks the calling thread as on its way to queue a line: it is about
  // to take `lock`, the lock under which lines are queued. A thread that
  // writes meanwhile waits a moment to take the line along instead of
  // leaving it for a write of its own. Also waits briefly while `lock` is
  // held: it is held for a fraction of a microsecond per line, and falling
  // asleep in the kernel and being woken costs more than that. Pair with
  // depart() once the line is queued (or dropped) and `lock` released.
  void arrive(critical_section& lock);
  void depart();

  // Returns once the line the calling thread queued last is in the kernel's
  // hands, writing it with whatever else is queued when no other thread is
  // writing. 0, or the Win32 code when this thread's write failed.
  unsigned long commit_own();

 private:
  // Writes until everything up to `sequence` is written. With `gather`, a
  // writing thread first waits a moment for lines that are on their way.
  unsigned long commit_through(std::uint64_t sequence, bool gather);
  bool try_lock_io();
  void unlock_io();
  // Returns when the file lock looks free (it may be taken again at once)
  // or everything up to `sequence` is written.
  void wait_io(std::uint64_t sequence);

  static constexpr std::uint32_t kIoHeld = 1;
  static constexpr std::uint32_t kIoHeldWithWaiters = 2;

  log_file _file;
  file_identity _identity;
  std::uint64_t _size = 0;
  std::int64_t _lastCheck = 0;     // coarse_milliseconds() of the last check
  std::uint64_t _checkedSize = 0;  // bytes in the file at the last check

  // Lines queued and not yet written; guarded by `_queueLock`, held only to
  // append or take the queue.
  spin_lock _queueLock;
  std::vector<std::string_view> _queue;
  std::uint64_t _queued = 0;  // sequence number of the last queued line
  // Taken by the writing thread while it owns `_batch`.
  std::vector<std::string_view> _batch;
  // The last write's number of lines and the thread that gathered it;
  // under the file lock.
  std::size_t _lastBatch = 0;
  const void* _lastWriter = nullptr;
  // 0 free, kIoHeld while a thread writes to the file, kIoHeldWithWaiters
  // when others sleep on it.
  std::atomic<std::uint32_t> _io{0};
  // Whether waiting threads spin: only when the process runs on several
  // processors, since on one the thread waited for cannot run meanwhile.
  std::atomic<bool> _spin{true};
  // Threads between arrive() and depart().
  std::atomic<int> _arriving{0};
  // Sequence number of the last line in the kernel's hands.
  std::atomic<std::uint64_t> _written{0};
};

}  // namespace krCore::detail
