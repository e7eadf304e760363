// The foundation family: the base exceptions and error texts, text
// conversions, locks, singletons and resource holders.
//
// Everything else in the library is built on these. The error texts and
// conversions never depend on other families; the waitable objects report
// their failures through the logger.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Stack record and base exceptions (global namespace).
// ---------------------------------------------------------------------------

// The stack record every krException carries. The text is captured at
// construction; `get` deliberately captures nothing (the symbolised stack
// walker lives in the diagnostics family and is called explicitly), so
// constructing an exception stays cheap. Thread-compatible value type.
class KRCORE_API call_stack {
 public:
  // `skip` innermost frames are left out; 0xFFFFFFFF means "no text at all".
  explicit call_stack(unsigned int skip = 3);
  call_stack(const call_stack&) = default;
  call_stack& operator=(const call_stack&) = default;

  // Returns the stack text for the caller, leaving out `skip` frames. Always
  // the empty text: see the class comment.
  static std::string get(unsigned int skip);

  // The stored text.
  std::string stack_trace() const;

 private:
  std::string _stack;
};

// The library's base exception: a code (a Win32 error or HRESULT; 0x800300FD
// when none is given), a narrow message (what()) and a stack record. A value
// type: copies are independent, and one object may be read from several
// threads. The constructors throw only std::bad_alloc; what() never throws.
class KRCORE_API krException : public std::exception, public call_stack {
 public:
  krException(const char* message, unsigned int skip);
  krException(long code, const char* message, unsigned int skip);
  krException(unsigned long code, const char* message, unsigned int skip);
  // The wide message is narrowed with krCore::convertwstringtostring.
  krException(long code, const std::wstring& message, unsigned int skip);
  krException(unsigned long code, const std::wstring& message, unsigned int skip);
  // Copies message and code; the stack record is taken anew at the copy.
  krException(const krException& other);
  krException& operator=(const krException& other);
  ~krException() override;

  const char* what() const noexcept override;
  unsigned int code() const { return _code; }
  // what(), widened with krCore::convertstringtowstring.
  std::wstring whatwide() const;

 private:
  std::string _message;
  unsigned int _code;
};

// An exception carrying a Win32 error or HRESULT and the system text for it.
// The description is looked up lazily, on the first what() or
// description(), so one object must not be read from two threads before
// that; copies are independent. what() and description() never throw.
class KRCORE_API w32_exception : public std::exception {
 public:
  // Code 1627 (function failed); the description is `text`, or the system
  // text for 1627 when `text` is empty.
  explicit w32_exception(const std::wstring& text);
  // `text` may be null: the system text for `code` is used then.
  w32_exception(const wchar_t* text, unsigned long code);
  // No text: the description is the system text for `code`.
  explicit w32_exception(unsigned long code);
  w32_exception(const w32_exception& other);
  w32_exception& operator=(const w32_exception&) = delete;
  ~w32_exception() override;

  const char* what() const noexcept override;
  // The same as the field `code`.
  unsigned long error_code() const { return code; }
  // The wide description: the given text, else the system text for the code,
  // else "IDispatch error #n" / "Unknown error 0x…".
  const wchar_t* description() const noexcept;

  // The Win32 error or HRESULT the exception carries.
  unsigned long code;

 private:
  mutable wchar_t* _wdescription = nullptr;
  mutable char* _description = nullptr;
};

// The COM error object of the platform's COM support: an HRESULT and an
// optional description (standing in for the error-information interface).
// A value type; the constructor throws only std::bad_alloc.
class KRCORE_API _com_error {
 public:
  explicit _com_error(long hr, const wchar_t* description = nullptr);
  long Error() const { return _hr; }
  // The error information's description; empty when there is none.
  const std::wstring& Description() const { return _description; }
  // The standard text for the HRESULT (see krCore::GetComErrorMessage).
  std::wstring ErrorMessage() const;

 private:
  long _hr;
  std::wstring _description;
};

namespace krCore {

// ---------------------------------------------------------------------------
// Error texts and conversions. All thread-safe.
// ---------------------------------------------------------------------------

// The system text for a Win32 error, HRESULT or NTSTATUS code, with white
// space trimmed at both ends. Never fails: a code without text gives
// "Error Message: <unavailable>. Error Code: 0x<hex>".
KRCORE_API std::wstring geterrormessage(unsigned long code);
// geterrormessage, narrowed.
KRCORE_API std::string geterrormessage_shortstring(unsigned long code);
// The description of the error object, or its standard message when it has
// none.
KRCORE_API std::wstring GetComErrorMessage(_com_error& error);

// Text conversion with the process's narrow encoding, which is UTF-8 here.
// Wide to narrow: a value that is not a Unicode scalar value (a surrogate or
// above U+10FFFF) becomes '?', the code page's default character. Narrow to
// wide: each byte sequence that is not valid UTF-8 becomes one U+FFFD per
// maximal invalid subpart. Neither throws for bad input; only allocation may.
KRCORE_API std::string convertwstringtostring(const std::wstring& text);
KRCORE_API std::wstring convertstringtowstring(const std::string& text);

// The maximal runs of `text` that contain no character of `delimiters`, in
// order; never an empty element.
KRCORE_API std::vector<std::wstring> splitstring(const std::wstring& text,
                                                 const std::wstring& delimiters);

}  // namespace krCore

// ---------------------------------------------------------------------------
// Locks and singletons.
// ---------------------------------------------------------------------------

#include <mutex>

namespace krCore {

// A recursive in-process lock. The owning thread may lock it again and must
// unlock it as often. Thread-safe; not copyable.
class KRCORE_API critical_section {
 public:
  critical_section();
  virtual ~critical_section();
  critical_section(const critical_section&) = delete;
  critical_section& operator=(const critical_section&) = delete;

  void lock();
  void unlock();
  // Diagnostics read from the platform lock's own words without locking
  // (values may be stale by the time they return): -1 when free, 0 when
  // held, above 0 when held and other threads wait.
  long lockcount();
  // How many times the owning thread holds the lock; 0 when free.
  long recursioncount();

 private:
  std::recursive_mutex _mutex;
};

// Holds a critical_section locked for a scope. Used by one thread only.
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

// Base of classes that must not be copied.
class KRCORE_API noncopyable_base {
 public:
  noncopyable_base(const noncopyable_base&) = delete;
  noncopyable_base& operator=(const noncopyable_base&) = delete;

 protected:
  noncopyable_base() = default;
  ~noncopyable_base() = default;
};

// Storage of a process-wide instance: one pointer and one lock per type.
// The templates carry default visibility so that the library and every
// program linking it share one `_instance` per T.
template <class T>
class KRCORE_API singleton_base {
 protected:
  singleton_base() = default;
  virtual ~singleton_base() = default;

  // Under `_cs`, swaps the instance out and deletes it; the next instance()
  // creates a fresh object. Singleton classes offer this as their close().
  static void destroy_instance() {
    auto_lock lock(_cs);
    T* old = _instance.exchange(nullptr);
    delete old;
  }

  static std::atomic<T*> _instance;
  static critical_section _cs;
};

template <class T>
std::atomic<T*> singleton_base<T>::_instance{nullptr};
template <class T>
critical_section singleton_base<T>::_cs;

// Lazily created process-wide instance of T (T derives from singleton<T>).
// instance() is thread-safe: concurrent first calls construct exactly one T.
// If T's constructor throws, the exception propagates and a later call tries
// again. close() must not race with users still holding the pointer.
template <class T>
class KRCORE_API singleton : public singleton_base<T> {
 public:
  singleton() = default;
  ~singleton() override = default;

// The constant pointer is the documented signature; GCC warns that the
// qualifier has no effect on a returned value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
  static T* const instance() {
    T* p = singleton_base<T>::_instance.load(std::memory_order_acquire);
    if (p) return p;
    auto_lock lock(singleton_base<T>::_cs);
    p = singleton_base<T>::_instance.load(std::memory_order_relaxed);
    if (!p) {
      p = new T();
      singleton_base<T>::_instance.exchange(p, std::memory_order_acq_rel);
    }
    return p;
  }
#pragma GCC diagnostic pop
};

}  // namespace krCore

#include <krcore/se_translator.h>

// ---------------------------------------------------------------------------
// Waitable objects and the waits on them (global namespace, with the names
// and results of the platform calls the agent's modules were written
// against). Handles are opaque values; a valid handle is neither null nor
// INVALID_HANDLE_VALUE.
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Thread message queues (global namespace, with the names and results of the
// platform calls). A thread gets its queue when it first peeks or waits for
// messages; the queue ends with the thread and drops what it still holds.
// Thread ids are the system's thread ids (gettid), as EasyThreadImpl's
// ThreadID reports them.
// ---------------------------------------------------------------------------

extern "C" {

// Appends a message to the queue of thread `thread_id` and wakes the thread
// if it waits for input. FALSE with last error 1444 when no thread of this
// process with that id has a queue (it never peeked or waited, or it ended),
// 1816 when the queue already holds 10000 messages. Thread-safe; never
// blocks on the receiver.
KRCORE_API BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);

// Copies the oldest message of the calling thread's queue whose number lies
// in [`first`, `last`] (both 0: any message) into `*msg`, and removes it when
// `remove` has PM_REMOVE. FALSE when there is none. `hwnd` must be null or
// (HWND)-1 (thread messages): there are no windows, so any other value finds
// nothing (last error 1400). Creates the calling thread's queue. Counts as a
// look at the queue for MsgWaitForMultipleObjects.
KRCORE_API BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove);

// WaitForMultipleObjects over `count` (0 to 63) handles plus the calling
// thread's queue: returns the index of a signalled handle (the lowest wins
// over everything, also over input), `count` when a message was posted to
// the thread since it last peeked or since a wait last returned `count`
// (messages left in the queue after that do not end a wait), 0x80 + index,
// 258 on time-out, or 0xFFFFFFFF with the last error set (87 for `wait_all`
// TRUE, a count above 63, or a `wake_mask` without QS_POSTMESSAGE /
// QS_ALLPOSTMESSAGE and no handles). Posted messages are the only input
// here; QS_ALLINPUT covers them. Creates the calling thread's queue.
KRCORE_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                           DWORD milliseconds, DWORD wake_mask);

}  // extern "C"

namespace krCore {

// Exceptions of the waitable objects; the message is the object's name.
// Values, thrown by the constructors and waits below.
class KRCORE_API mutexException : public se_translator::exception {
 public:
  mutexException();
  explicit mutexException(const std::wstring& message);
  mutexException(const mutexException& other);
};

class KRCORE_API semaphore_exception : public se_translator::exception {
 public:
  explicit semaphore_exception(const std::wstring& message);
  semaphore_exception(const semaphore_exception& other);
};

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

// An event that stays signalled until reset; the rules of autoresetevent.
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
// to 1 and to 0 take the lock. Decrementing below 0 wraps.
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

// ---------------------------------------------------------------------------
// Owning holders. Each owns one resource and releases it at most once: the
// release operation clears the stored value, so calling it again does
// nothing; the destructor runs it. attach(x) releases the held resource and
// holds x, unless x is the value held. Not copyable; not thread-safe.
// Memory of the platform's local heap, process heap, COM task allocator and
// RPC string functions is plain malloc memory on this platform.
// ---------------------------------------------------------------------------

// A handle; closed when valid (neither null nor all bits set).
class KRCORE_API auto_closehandle : noncopyable_base {
 public:
  explicit auto_closehandle(void* handle);
  ~auto_closehandle();
  void close();
  void attach(void* handle);
  void* get() { return _handle; }

 private:
  void* _handle;
};

// A block of local-heap memory (malloc); freed when not null.
class KRCORE_API auto_localfree : noncopyable_base {
 public:
  explicit auto_localfree(void* memory);
  ~auto_localfree();
  void dispose();
  void attach(void* memory);
  void* get() const { return _memory; }
  // Returns the block and forgets it without freeing.
  void* release();

 private:
  void* _memory;
};

// A malloc block and its size. The allocation is not checked: a failed
// malloc leaves a null pointer with the requested size recorded.
class KRCORE_API auto_malloc : noncopyable_base {
 public:
  explicit auto_malloc(unsigned int size);
  ~auto_malloc();
  // Frees the block; pointer and size become 0.
  void dispose();
  void* get() { return _memory; }

 private:
  auto_malloc();
  void alloc(unsigned int size);
  void* _memory = nullptr;
  unsigned int _size = 0;
};

// A block of a heap. A null heap means the process heap; flag 0x8 zeroes
// the block. Throws std::bad_alloc when the allocation fails.
class KRCORE_API auto_heap_memory : noncopyable_base {
 public:
  auto_heap_memory(unsigned long size, unsigned long flags, void* heap);
  ~auto_heap_memory();
  void dispose();
  void* get() { return _memory; }

 private:
  // The heap the caller named; one allocator serves every heap here, so it
  // is kept only for the object's layout.
  [[maybe_unused]] void* _heap;
  void* _memory;
};

// A standard I/O stream; closed when not null.
class KRCORE_API auto_fclose : noncopyable_base {
 public:
  explicit auto_fclose(FILE* file);
  ~auto_fclose();
  void close();
  void attach(FILE* file);
  FILE* get() { return _file; }

 private:
  FILE* _file;
};

// A loaded module (a dlopen handle); unloaded when not null.
class KRCORE_API auto_freelibrary : noncopyable_base {
 public:
  explicit auto_freelibrary(HINSTANCE module);
  ~auto_freelibrary();
  void dispose();
  HINSTANCE get() { return _module; }

 private:
  HINSTANCE _module;
};

// COM task memory; freed by the destructor (null is accepted).
class KRCORE_API auto_CoTaskMemFree : noncopyable_base {
 public:
  explicit auto_CoTaskMemFree(void* memory);
  explicit auto_CoTaskMemFree(unsigned char* memory);
  explicit auto_CoTaskMemFree(wchar_t* memory);
  ~auto_CoTaskMemFree();

 private:
  void* _memory;
};

// The address of an RPC string pointer; the string is freed through the
// address (and the pointer there set to null).
class KRCORE_API auto_rpcstringfree : noncopyable_base {
 public:
  explicit auto_rpcstringfree(wchar_t** address);
  ~auto_rpcstringfree();
  void dispose();
  void attach(wchar_t** address);
  // The string, or null when no address is held.
  wchar_t* get() { return _address ? *_address : nullptr; }

 private:
  wchar_t** _address;
};

// Handle deleters for shared pointers to handles. CloseHandleImpl closes a
// valid handle and logs a failure; neither throws.
KRCORE_API void CloseHandleImpl(void* handle);
KRCORE_API void NoCloseHandleImpl(void* handle);

}  // namespace krCore
