// Internal (Windows): the library's own waits, as the forced end sees them.
//
// A thread blocked in one of the system's waits holds no lock of the
// system's while it sleeps, but whoever called the wait may: a module that
// waits while it holds a lock of its own would leave that lock held for good
// if the thread were ended there. On x86-64 the forced end
// (threading/windows) tells who waits from the thread's stack. x86 code
// keeps no unwind tables, so there it ends a waiting thread only inside one
// of the library's own waits, which hold none of its locks (a region that
// does is counted in kill_hold.h and wins). The library says so with this
// per-thread flag, raised around each of its waits.
#pragma once

namespace krCore::detail {

// True while the calling thread is inside one of the library's own waits.
// Read by the forced end only while the thread is suspended.
extern thread_local bool t_library_wait;

// Raises the flag for its scope. Not thread-safe in the sense that matters:
// each thread raises only its own.
class library_wait_scope {
 public:
  library_wait_scope() : _previous(t_library_wait) { t_library_wait = true; }
  ~library_wait_scope() { t_library_wait = _previous; }
  library_wait_scope(const library_wait_scope&) = delete;
  library_wait_scope& operator=(const library_wait_scope&) = delete;

 private:
  bool _previous;
};

}  // namespace krCore::detail
