// Internal: the open log file and the way lines reach it.
//
// Every line must be in the kernel's hands before `log` returns, so that a
// process that crashes right after loses nothing it logged. Doing that with
// one write per line under the logger's lock would make every thread wait
// for every other thread's system call. Instead the logger, under its lock
// (`gate`, which the writer keeps), only encodes the line into the calling
// thread's own buffer and queues it (`enqueue`). A thread that then finds
// no other thread on its way through the lock and the file free takes the
// queue before it lets go of the lock (`claim_own`) and writes it after
// (`commit_own`): the usual case of a lone thread, which thus costs two
// atomic operations for the lock and two for the file. A thread that finds
// another one on its way leaves its line to that one, the last to pass,
// which writes every line queued so far in one gathered write; the others
// return without a system call of their own (group commit, `commit_own`).
// Rotation, flushing and closing run under the lock and first write what is
// queued (`drain`), so queued lines always belong to the open file.
//
// The size is tracked in memory; the system is asked only when the tracked
// size crosses the limit, and every 100 ms to notice a file that was
// removed or renamed under the writer. The lines a removed file took with
// it since the last look are read back from the still-open descriptor and
// carried into the fresh file, so none is lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <krcore/foundation.h>

#include "foundation/internal.h"
#include "logging/logfile_io.h"
#include "logging/line_gate.h"

namespace krCore::detail {

// How often the writer asks the system whether its file was removed or
// renamed: 100 ms by default; tests set 0 (every line). Thread-safe.
KRCORE_INTERNAL void set_log_check_interval_ms(unsigned ms);
// The interval set_log_check_interval_ms set; read on every line, so it is
// reached without a call.
KRCORE_INTERNAL extern std::atomic<unsigned> g_log_check_interval_ms;

// The most a writer carries over from a removed file into the fresh one.
inline constexpr std::size_t kMaxCarry = std::size_t{4} << 20;

// Thread-safety: everything but commit_own and gate must be called with
// `gate` held; commit_own without it. The lock order is the gate before the
// file: no thread waits for the gate while it owns the file.
class KRCORE_INTERNAL log_file_writer {
 public:
  log_file_writer();
  ~log_file_writer();
  log_file_writer(const log_file_writer&) = delete;
  log_file_writer& operator=(const log_file_writer&) = delete;

  bool is_open() const { return _file.is_open(); }
  const file_identity& identity() const { return _identity; }

  // Opens `path` (see log_file::open) and writes the byte-order mark into an
  // empty file; with `keep_content` an existing file's lines stay and new
  // ones follow them. The file is made in `folder()` when that holds it.
  // 0 or a Win32 code; on failure no file is open.
  unsigned long open(const std::wstring& path, bool write_through, bool keep_content = false);

  // The log files' folder as the logger last opened it for a rotation (see
  // log_folder); guarded by `gate` like the file.
  log_folder& folder() { return _folder; }

  // Whether the files opened from now on are UTF-8 text (no byte-order mark,
  // lines queued by enqueue encoded as UTF-8) rather than UTF-16LE.
  void set_utf8_text(bool on) { _utf8Next = on; }
  bool utf8_text() const { return _utf8; }

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
  // about the file; and at once after a write met the process's file-size
  // limit. Asked before every line, hence inline.
  bool check_due() {
    if (_limitReached.load(std::memory_order_relaxed)) return true;
    const std::int64_t now = coarse_milliseconds();
    if (now - _lastCheck <
        static_cast<std::int64_t>(g_log_check_interval_ms.load(std::memory_order_relaxed)))
      return false;
    _lastCheck = now;
    return true;
  }

  // True once, after a write to the open file met the process's file-size
  // limit (RLIMIT_FSIZE): the file is to be replaced by a fresh one.
  bool take_limit_reached() { return _limitReached.exchange(false, std::memory_order_relaxed); }

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

  // The logger's lock (see line_gate.h); it guards the queue and the file
  // state. Lives as long as the writer.
  line_gate& gate() { return _gate; }

  // With the gate held, after the calling thread queued a line: when no
  // other thread is on its way through the gate and nobody writes, makes
  // the calling thread the file's writer, with everything queued taken
  // along for commit_own to write once the gate is let go, and returns
  // true. Otherwise false. commit_own must follow either way.
  bool claim_own();

  // Without the gate: returns once the line the calling thread queued last
  // is in the kernel's hands, writing what claim_own took, or waiting for
  // the thread that takes the line along, or writing it with whatever else
  // is queued. 0, or the Win32 code when this thread's write failed.
  unsigned long commit_own();

 private:
  // Writes until everything up to `sequence` is written. With `ride`, the
  // caller first waits while another thread writes, or is likely to come
  // back to write, the line along with its own.
  unsigned long commit_through(std::uint64_t sequence, bool ride);
  // With the gate and the file held: takes the queue for writing.
  void take_queue();
  // With the file held and the gate not by this call: writes what
  // take_queue took and lets the file go. 0 or the Win32 code.
  unsigned long write_taken();
  // After a write: a failure at the file-size limit asks for a fresh file.
  void note_limit(unsigned long error);
  bool try_lock_io();
  void unlock_io();
  // In a fork child, with the gate held: the lines queued or being written
  // were the parent's threads', which write them there, and a thread that
  // owned the file is not in this process. Drops them and frees the file.
  void forget_parent_threads();
  friend struct writer_forks;
  // Returns when the file lock looks free (it may be taken again at once)
  // or everything up to `sequence` is written.
  void wait_io(std::uint64_t sequence);

  static constexpr std::uint32_t kIoHeld = 1;
  static constexpr std::uint32_t kIoHeldWithWaiters = 2;

  log_folder _folder;
  log_file _file;
  file_identity _identity;
  std::uint64_t _size = 0;
  bool _utf8 = false;
  bool _utf8Next = false;
  std::int64_t _lastCheck = 0;     // coarse_milliseconds() of the last check
  std::uint64_t _checkedSize = 0;  // bytes in the file at the last check

  line_gate _gate;
  // Lines queued and not yet written; guarded by `_gate`.
  std::vector<std::string_view> _queue;
  std::uint64_t _queued = 0;  // sequence number of the last queued line
  // Taken by the writing thread while it owns the file: the lines and the
  // sequence number of the last of them.
  std::vector<std::string_view> _batch;
  std::uint64_t _batchLast = 0;
  // 0 free, kIoHeld while a thread writes to the file, kIoHeldWithWaiters
  // when others sleep on it.
  std::atomic<std::uint32_t> _io{0};
  // Whether waiting threads spin: only when the process runs on several
  // processors, since on one the thread waited for cannot run meanwhile.
  std::atomic<bool> _spin{true};
  // Sequence number of the last line in the kernel's hands.
  std::atomic<std::uint64_t> _written{0};
  // Set by the thread whose write met the file-size limit.
  std::atomic<bool> _limitReached{false};
};

// Holds the logger's lock for a scope.
using logger_lock = std::lock_guard<line_gate>;

}  // namespace krCore::detail
