// Synchronisation: the in-process lock and its scope holder, the last-error
// code of the calling thread, the waits on waitable objects, and the
// waitable objects themselves (mutexes, semaphores, events, the usage
// counter with its done event) with their exceptions.
#pragma once

#include <krcore/export.h>
#include <krcore/se_translator.h>
#include <krcore/wintypes.h>

#include <atomic>
#include <mutex>
#include <string>

namespace krCore {

// A recursive in-process lock. The owning thread may lock it again and must
// unlock it as often. Thread-safe; not copyable. lock() throws
// std::system_error only when the platform refuses the lock (it does not in
// practice); unlocking a lock the caller does not hold is undefined.
class KRCORE_API critical_section {
 public:
  critical_section();
  virtual ~critical_section();
  critical_section(const critical_section&) = delete;
  critical_section& operator=(const critical_section&) = delete;

  void lock();
  void unlock();
  // Diagnostics read without locking (values may be stale by the time they
  // return): -1 when free, 0 when held, above 0 when held and other threads
  // wait (seen on Linux only, where the platform lock's words tell).
  long lockcount();
  // How many times the owning thread holds the lock; 0 when free.
  long recursioncount();

 private:
  std::recursive_mutex _mutex;
#if defined(_WIN32)
  // The runtime's mutex keeps its owner and depth to itself on Windows, so
  // the lock keeps them: a token of the owning thread (null when free),
  // written by the owner only, and its depth.
  std::atomic<const void*> _owner{nullptr};
  std::atomic<long> _depth{0};
#endif
};

// Holds a critical_section locked for a scope. Used by one thread only; the
// lock must outlive it. Throws what critical_section::lock throws; never
// throws afterwards.
class KRCORE_API auto_lock {
 public:
  explicit auto_lock(critical_section& cs);
  virtual ~auto_lock();
  auto_lock(const auto_lock&) = delete;
  auto_lock& operator=(const auto_lock&) = delete;
  // Unlocks if still locked; later calls do nothing. There is no re-lock.
  void unlock();

 private:
  critical_section& _cs;
  bool _locked;
};

}  // namespace krCore

// ---------------------------------------------------------------------------
// Waitable objects and the waits on them (global namespace, with the names
// and results of the platform calls the agent's modules were written
// against). Handles are opaque values; a valid handle is neither null nor
// INVALID_HANDLE_VALUE. On Windows they are the system's own (<windows.h>).
// ---------------------------------------------------------------------------

#if !defined(_WIN32)
extern "C" {

// The calling thread's last error code. Thread-safe (per thread).
KRCORE_API DWORD GetLastError();
KRCORE_API void SetLastError(DWORD code);

// Waits until the object is signalled or `milliseconds` pass (INFINITE: no
// limit). Returns 0 (signalled; an auto-reset event, semaphore unit or mutex
// is consumed), 0x80 (a mutex whose owner ended without releasing it; the
// caller now owns it), 258 on time-out, or 0xFFFFFFFF with the last error
// set (6: invalid or closed handle). Thread-safe.
KRCORE_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Waits until any one of `count` (1 to 64) objects is signalled. Returns the
// index of the object that satisfied the wait (the lowest index when several
// are ready; exactly one object is consumed), 0x80 + index for an abandoned
// mutex, 258 on time-out, or 0xFFFFFFFF with the last error set. Waiting for
// all objects at once is not supported: `wait_all` TRUE fails with 87.
// Closing a handle while another thread waits on it is safe.
KRCORE_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                        DWORD milliseconds);

// Closes a handle. A named object disappears when its last handle in any
// process is closed. Returns FALSE with last error 6 for a handle that is
// not open (also for a second close).
KRCORE_API BOOL CloseHandle(HANDLE handle);

}  // extern "C"
#endif  // !_WIN32

namespace krCore {

// Exceptions of the waitable objects; the message is the object's name (or
// the failure, for mutex::aquire). Values, thrown by the constructors and
// waits below; thread-compatible like se_translator::exception, whose
// what() never throws.
class KRCORE_API mutexException : public se_translator::exception {
 public:
  mutexException();
  explicit mutexException(const std::wstring& message);
  mutexException(const mutexException& other);
};

// Thrown by the semaphore's constructor (and so by the pools that make one).
// A thread-compatible value; what() never throws.
class KRCORE_API semaphore_exception : public se_translator::exception {
 public:
  explicit semaphore_exception(const std::wstring& message);
  semaphore_exception(const semaphore_exception& other);
};

// Thrown by the event constructors (and so by every class that owns an
// event). A thread-compatible value; what() never throws.
class KRCORE_API eventexception : public se_translator::exception {
 public:
  explicit eventexception(const std::wstring& message);
  eventexception(const eventexception& other);
};

// A mutex owned by one thread at a time, recursive. A non-empty name shares
// it with every process that uses the same name. Constructors throw
// mutexException (message: the name) when the mutex cannot be created or
// opened. The destructor closes the handle without releasing the mutex.
// Thread-safety: any thread may wait on and release the one object (release
// succeeds only for the owner).
class KRCORE_API mutex {
 public:
  // Initial ownership requested, unnamed.
  mutex();
  // Initial ownership requested.
  explicit mutex(const std::wstring& name);
  // When a mutex of that name exists already, it is opened, own() is false
  // and initial ownership is not granted.
  mutex(bool initial_owner, const std::wstring& name);
  ~mutex();
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  // Waits at most `milliseconds`: true when acquired, false on time-out.
  // Throws mutexException "Mutex abandoned" when the previous owner ended
  // without releasing it (the caller owns it then), "Mutex wait failed" on
  // any other failure.
  bool aquire(long milliseconds);
  // 0 on success, else the error code (288: not owned by the caller). Never
  // throws.
  unsigned long release();
  // True when this object created the mutex.
  bool own() const { return _own; }
  std::wstring name() const { return _name; }
  operator void*() { return _handle; }

 private:
  void Create(bool initial_owner, const std::wstring& name);

  HANDLE _handle = nullptr;
  bool _own = false;
  std::wstring _name;
};

// A counting semaphore with a maximum. Waiting is done on the handle. The
// constructor throws semaphore_exception (message: the name) on failure.
// Thread-safe: any thread may release or wait; the handle lives as long as
// the object.
class KRCORE_API semaphore {
 public:
  semaphore(long maximum, long initial, const std::wstring& name);
  virtual ~semaphore();
  semaphore(const semaphore&) = delete;
  semaphore& operator=(const semaphore&) = delete;

  // Adds `count`; false when the count would pass the maximum. Never throws.
  bool release(long count);
  operator void*() { return _handle; }

 private:
  HANDLE _handle = nullptr;
};

// Owner of one event handle, closed by the destructor. Setting, resetting
// and waiting on the handle are thread-safe; replacing it (attach) is not.
// Never throws; a handle that fails to close is dropped silently.
class KRCORE_API eventbase {
 public:
  eventbase() = default;
  virtual ~eventbase();
  eventbase(const eventbase&) = delete;
  eventbase& operator=(const eventbase&) = delete;

  // Takes ownership of `handle`, closing a different valid one held before.
  void attach(void* handle);
  operator void*() { return _handle; }

 protected:
  void* _handle = nullptr;
};

// An event that releases one waiter and then resets itself. Constructors
// throw eventexception (message: the name) on failure; the operations log a
// failure and return. A non-empty name shares the event between processes.
// Thread-safe as eventbase.
class KRCORE_API autoresetevent : public eventbase {
 public:
  autoresetevent();
  explicit autoresetevent(const std::wstring& name);
  autoresetevent(bool signalled, const std::wstring& name);
  virtual void signal();
  void reset();
  // Releases one waiting thread, if any, and leaves the event non-signalled.
  void pulse();

 private:
  void Construct(bool signalled, const std::wstring& name);
};

// An event that stays signalled until reset. As autoresetevent: the
// constructors throw eventexception (message: the name), signal and reset
// log a failure and return; thread-safe as eventbase.
class KRCORE_API manualresetevent : public eventbase {
 public:
  manualresetevent();
  explicit manualresetevent(const std::wstring& name);
  manualresetevent(bool signalled, const std::wstring& name);
  virtual void signal();
  void reset();

 private:
  void Construct(bool signalled, const std::wstring& name);
};

// A usage counter with a done event that is signalled whenever the count
// comes back to 0 and reset when it leaves 0 (non-signalled before the first
// increment). Increment and Decrement are thread-safe; only the transitions
// to 1 and to 0 take the lock. Decrementing below 0 wraps. The constructor
// throws eventexception when the done event cannot be created; the counting
// never throws (a failed event operation is logged).
class KRCORE_API AtomicCounter_t {
 public:
  AtomicCounter_t();
  ~AtomicCounter_t();
  AtomicCounter_t(const AtomicCounter_t&) = delete;
  AtomicCounter_t& operator=(const AtomicCounter_t&) = delete;

  // Return the new value.
  unsigned long Increment();
  unsigned long Decrement();
  eventbase& DoneEvent() { return _done; }
  unsigned long Counter() const { return _counter.load(std::memory_order_acquire); }

 private:
  // The locked halves of the protocol; the argument is not used.
  void SignalDone(long);
  void ResetDone(long);

  std::atomic<unsigned long> _counter{0};
  manualresetevent _done;
  critical_section _cs;
};

// Counts one holder on an AtomicCounter_t for as long as it lives; the
// counter must outlive it. Owned by one thread; never throws.
class KRCORE_API AutoAtomicCounter_t {
 public:
  explicit AutoAtomicCounter_t(AtomicCounter_t& counter);
  AutoAtomicCounter_t(const AutoAtomicCounter_t& other);
  AutoAtomicCounter_t& operator=(const AutoAtomicCounter_t& other);
  ~AutoAtomicCounter_t();
  // Exchanges the counters; no counting.
  void swap(AutoAtomicCounter_t& other);
  unsigned long Counter() const;

 private:
  AtomicCounter_t* _counter;
};

// As AutoAtomicCounter_t, but it may be empty and released early. Owned by
// one thread; never throws.
class KRCORE_API AutoAtomicCounter_r_t {
 public:
  AutoAtomicCounter_r_t() = default;
  explicit AutoAtomicCounter_r_t(AtomicCounter_t& counter);
  AutoAtomicCounter_r_t(const AutoAtomicCounter_r_t& other);
  AutoAtomicCounter_r_t& operator=(const AutoAtomicCounter_r_t& other);
  ~AutoAtomicCounter_r_t();
  // Decrements once and becomes empty; later calls do nothing.
  void release();
  void swap(AutoAtomicCounter_r_t& other);
  // 0 when empty.
  unsigned long Counter() const;

 private:
  AtomicCounter_t* _counter = nullptr;
};

}  // namespace krCore
