// The base exceptions (krException, w32_exception, _com_error), the stack
// record, the error-text functions and the string splitter.
#include <krcore/foundation.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <new>

#include "foundation/errors.h"
#include "foundation/utf.h"

namespace {

constexpr unsigned int kDefaultExceptionCode = 0x800300FD;
constexpr const char kNoDescription[] = "Unable to retrieve error description";

// A copy of `text` on the heap, or null when no memory could be had.
template <class Char>
Char* heap_copy(const Char* text, std::size_t length) {
  Char* copy = new (std::nothrow) Char[length + 1];
  if (copy) {
    std::memcpy(copy, text, length * sizeof(Char));
    copy[length] = 0;
  }
  return copy;
}

// The fallback description of a code without system text, as the platform's
// COM support formats it.
std::wstring idispatch_or_unknown(unsigned long code, unsigned int dispatch_code) {
  wchar_t buf[32];
  if (dispatch_code != 0)
    std::swprintf(buf, 32, L"IDispatch error #%d", static_cast<int>(dispatch_code));
  else
    std::swprintf(buf, 32, L"Unknown error 0x%0lX", code & 0xFFFFFFFFul);
  return buf;
}

// The system text with one trailing line end (LF or CR LF) removed, as the
// platform's COM support and w32_exception present it. Empty: no text.
std::wstring system_text_without_line_end(unsigned long code) {
  std::wstring text = krCore::detail::system_message(code);
  if (text.size() > 1 && text.back() == L'\n') {
    text.pop_back();
    if (!text.empty() && text.back() == L'\r') text.pop_back();
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// call_stack
// ---------------------------------------------------------------------------

call_stack::call_stack(unsigned int skip) {
  if (skip != 0xFFFFFFFFu) _stack = get(skip);
}

std::string call_stack::get(unsigned int) { return {}; }

std::string call_stack::stack_trace() const { return _stack; }

// ---------------------------------------------------------------------------
// krException
// ---------------------------------------------------------------------------

krException::krException(const char* message, unsigned int skip)
    : call_stack(skip), _message(message ? message : ""), _code(kDefaultExceptionCode) {}

krException::krException(long code, const char* message, unsigned int skip)
    : call_stack(skip), _message(message ? message : ""), _code(static_cast<unsigned int>(code)) {}

krException::krException(unsigned long code, const char* message, unsigned int skip)
    : call_stack(skip), _message(message ? message : ""), _code(static_cast<unsigned int>(code)) {}

krException::krException(long code, const std::wstring& message, unsigned int skip)
    : call_stack(skip),
      _message(krCore::convertwstringtostring(message)),
      _code(static_cast<unsigned int>(code)) {}

krException::krException(unsigned long code, const std::wstring& message, unsigned int skip)
    : call_stack(skip),
      _message(krCore::convertwstringtostring(message)),
      _code(static_cast<unsigned int>(code)) {}

// The stack record is taken anew where the copy is made (see the header), so
// the call_stack base is not copied.
// NOLINTNEXTLINE(bugprone-copy-constructor-init)
krException::krException(const krException& other)
    : std::exception(other), call_stack(3), _message(other._message), _code(other._code) {}

krException& krException::operator=(const krException& other) {
  if (this != &other) {
    std::exception::operator=(other);
    call_stack::operator=(other);
    _message = other._message;
    _code = other._code;
  }
  return *this;
}

krException::~krException() = default;

const char* krException::what() const noexcept { return _message.c_str(); }

std::wstring krException::whatwide() const { return krCore::convertstringtowstring(what()); }

// ---------------------------------------------------------------------------
// w32_exception
// ---------------------------------------------------------------------------

w32_exception::w32_exception(const std::wstring& text) : code(krCore::detail::kErrorFunctionFailed) {
  if (!text.empty()) _wdescription = heap_copy(text.c_str(), text.size());
}

w32_exception::w32_exception(const wchar_t* text, unsigned long error) : code(error) {
  if (text) _wdescription = heap_copy(text, std::wcslen(text));
}

w32_exception::w32_exception(unsigned long error) : code(error) {}

w32_exception::w32_exception(const w32_exception& other) : std::exception(other), code(other.code) {
  if (other._wdescription)
    _wdescription = heap_copy(other._wdescription, std::wcslen(other._wdescription));
}

w32_exception::~w32_exception() {
  delete[] _wdescription;
  delete[] _description;
}

const wchar_t* w32_exception::description() const noexcept {
  if (_wdescription) return _wdescription;
  try {
    std::wstring text = system_text_without_line_end(code);
    if (text.empty()) text = idispatch_or_unknown(code, code & 0xFFFF);
    _wdescription = heap_copy(text.c_str(), text.size());
  } catch (...) {
    // Out of memory: fall through to the last resort.
  }
  return _wdescription ? _wdescription : L"Unable to retrieve error description";
}

const char* w32_exception::what() const noexcept {
  if (_description) return _description;
  try {
    const std::string narrow = krCore::convertwstringtostring(description());
    _description = heap_copy(narrow.c_str(), narrow.size());
  } catch (...) {
  }
  return _description ? _description : kNoDescription;
}

// ---------------------------------------------------------------------------
// _com_error
// ---------------------------------------------------------------------------

_com_error::_com_error(long hr, const wchar_t* description)
    : _hr(static_cast<int>(static_cast<unsigned int>(hr))), _description(description ? description : L"") {}

std::wstring _com_error::ErrorMessage() const {
  const unsigned long code = static_cast<unsigned int>(_hr);
  std::wstring text = system_text_without_line_end(code);
  if (!text.empty()) return text;
  const unsigned int dispatchcode =
      (code >= 0x80040200ul && code <= 0x8004FFFFul) ? (code - 0x80040200ul) & 0xFFFF : 0;
  return idispatch_or_unknown(code, dispatchcode);
}

// ---------------------------------------------------------------------------
// Free functions
// ---------------------------------------------------------------------------

namespace krCore {

std::wstring geterrormessage(unsigned long code) {
  wchar_t hex[16];
  std::swprintf(hex, 16, L"%lx", code & 0xFFFFFFFFul);
  std::wstring fallback = std::wstring(L"Error Message: <unavailable>. Error Code: 0x") + hex;
  try {
    const std::wstring text = detail::system_message(code);
    std::size_t first = 0, last = text.size();
    while (first < last && std::iswspace(text[first])) ++first;
    while (last > first && std::iswspace(text[last - 1])) --last;
    if (first == last) return fallback;
    return text.substr(first, last - first);
  } catch (...) {
    return fallback;
  }
}

std::string geterrormessage_shortstring(unsigned long code) {
  return convertwstringtostring(geterrormessage(code));
}

std::wstring GetComErrorMessage(_com_error& error) {
  if (!error.Description().empty()) return error.Description();
  return error.ErrorMessage();
}

std::string convertwstringtostring(const std::wstring& text) { return detail::utf8_from_wide(text); }

std::wstring convertstringtowstring(const std::string& text) { return detail::wide_from_utf8(text); }

std::vector<std::wstring> splitstring(const std::wstring& text, const std::wstring& delimiters) {
  std::vector<std::wstring> parts;
  std::size_t pos = text.find_first_not_of(delimiters);
  while (pos != std::wstring::npos) {
    const std::size_t end = text.find_first_of(delimiters, pos);
    parts.push_back(text.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos));
    if (end == std::wstring::npos) break;
    pos = text.find_first_not_of(delimiters, end);
  }
  return parts;
}

}  // namespace krCore
