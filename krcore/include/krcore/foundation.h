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
// when none is given), a narrow message (what()) and a stack record.
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
// The description is looked up lazily; what() never throws.
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
  unsigned long code() const { return _code; }
  // The wide description: the given text, else the system text for the code,
  // else "IDispatch error #n" / "Unknown error 0x…".
  const wchar_t* description() const noexcept;

 private:
  unsigned long _code;
  mutable wchar_t* _wdescription = nullptr;
  mutable char* _description = nullptr;
};

// The COM error object of the platform's COM support: an HRESULT and an
// optional description (standing in for the error-information interface).
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
  // Diagnostics, read without locking: -1 when free, else the number of
  // threads that hold or wait for the lock, minus one.
  long lockcount();
  // How many times the owning thread holds the lock; 0 when free.
  long recursioncount();

 private:
  std::recursive_mutex _mutex;
  std::atomic<long> _contenders{0};
  std::atomic<long> _recursion{0};
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
 protected:
  noncopyable_base() = default;
  ~noncopyable_base() = default;
  noncopyable_base(const noncopyable_base&) = delete;
  noncopyable_base& operator=(const noncopyable_base&) = delete;
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
