// The base exceptions and error texts: the stack record every krException
// carries, krException, w32_exception, _com_error, and the system texts for
// error codes.
#pragma once

#include <krcore/export.h>

#include <exception>
#include <string>

// The stack record every krException carries. The text is captured at
// construction; `get` deliberately captures nothing (the symbolised stack
// walker lives in the diagnostics family and is called explicitly), so
// constructing an exception stays cheap. Thread-compatible value type; its
// calls throw nothing but std::bad_alloc.
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
// threads at once (thread-safe for readers). The constructors throw only
// std::bad_alloc; what() never throws.
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
// A value type: thread-compatible (one object may be read from several
// threads at once). The constructor and ErrorMessage throw only
// std::bad_alloc.
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

// The error texts. All thread-safe; they throw only std::bad_alloc.

// The system text for a Win32 error, HRESULT or NTSTATUS code, with white
// space trimmed at both ends. Never fails: a code without text gives
// "Error Message: <unavailable>. Error Code: 0x<hex>".
KRCORE_API std::wstring geterrormessage(unsigned long code);
// geterrormessage, narrowed.
KRCORE_API std::string geterrormessage_shortstring(unsigned long code);
// The description of the error object, or its standard message when it has
// none.
KRCORE_API std::wstring GetComErrorMessage(_com_error& error);

}  // namespace krCore
