// The exception guard and collector of worker threads: it translates the
// thread's hardware faults while it lives, and Analyze turns whatever a
// catch-all caught into a recorded entry (code, context, message), a log
// entry at the level the kind of exception deserves, and for the worst
// cases an event-log entry or the end of the process.
#include <krcore/diagnostics.h>
#include <krcore/logging.h>

#include <cstdio>
#include <sstream>

#include "diagnostics/guarded_call.h"
#include "foundation/compiler.h"
#include "foundation/process_calls.h"
#include "logging/logsink.h"

namespace krCore {
namespace {

using info_t = se_exception_initializer::se_exception_info;

constexpr unsigned int kUnspecifiedError = 0x80004005;  // E_FAIL
constexpr unsigned int kUnexpectedError = 0x800300FD;   // STG_E_UNKNOWN
constexpr unsigned int kAccessViolation = 0xC0000005;
constexpr long kInvalidIndex = 1413;
// What the stack trace of a report looks like: one frame per line.
constexpr const char* kTraceFormat = "%f(%l) : %m at %s\n";

// Codes are 32-bit values; in a `long` they are kept sign-extended, so that
// an HRESULT reads the same however it was widened.
long code32(unsigned long code) { return static_cast<int>(static_cast<unsigned int>(code)); }

// Upper-case hexadecimal, zero-padded to the width of an address.
std::string pointer_text(const void* address) {
  char text[2 * sizeof(void*) + 1];
  std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
  return text;
}

// Lower-case hexadecimal without leading zeros, leaving the stream decimal.
struct hex {
  unsigned long long value;
};
std::ostream& operator<<(std::ostream& os, hex h) { return os << std::hex << h.value << std::dec; }

// A null file name must not put the stream into a failed state.
const char* file_text(const char* file) { return file ? file : ""; }

unsigned long record_flags(const se_translator::exception& e) {
  return e.pointers() ? e.pointers()->ExceptionRecord->ExceptionFlags : 0;
}
CONTEXT* record_context(const se_translator::exception& e) {
  return e.pointers() ? e.pointers()->ContextRecord : nullptr;
}

// Analysis runs on the logger's own threads too, so its lines take the
// internal route, which never asks the singleton from such a thread.
void log_at(logger::log_levels level, const std::wstring& text) {
  if (detail::log_enabled(level)) detail::log_entry(level, text);
}

// ", File: f, Line: n" and the like end most texts.
void write_location(std::ostream& os, const char* file, int line) {
  os << "File: " << file_text(file) << ", Line: " << line;
}

// The end of a memory fault's text: where it was caught and the stack at
// the fault. The system facts that help judge such a fault go to the
// debugger output and the log alongside.
std::wstring finish_memory_fault_text(std::ostringstream& os, const se_translator::exception& e,
                                      const char* file, int line) {
  os << "\r\n";
  write_location(os, file, line);
  os << ", Stack trace : \r\n";
  sym_engine::stack_trace(os, record_context(e), 0, kTraceFormat);
  sym_engine::dumpsysteminformation();
  return convertstringtowstring(os.str());
}

}  // namespace

// --- Entries ---

se_exception_initializer::se_exception_info::se_exception_info(long code,
                                                               const std::wstring& context,
                                                               const std::wstring& message)
    : _message(message),
      _context(context),
      _code(code32(code == 0 ? kUnspecifiedError : static_cast<unsigned long>(code))) {
  if (_message.empty()) _message = geterrormessage(static_cast<unsigned int>(_code));
}

// --- The guard ---

se_exception_initializer::se_exception_initializer() : se_exception_initializer(handler_type()) {}

se_exception_initializer::se_exception_initializer(handler_type handler)
    : _handler(std::move(handler)) {
  krProcessSettings::instance();
}

se_exception_initializer::se_exception_initializer(const se_exception_initializer& other)
    : _handler(other._handler), _infos(other._infos) {
  _translator = other._translator;
}

se_exception_initializer& se_exception_initializer::operator=(
    const se_exception_initializer& other) {
  if (this != &other) _handler = other._handler;
  _translator = other._translator;
  _infos = other._infos;
  return *this;
}

se_exception_initializer::~se_exception_initializer() { _infos.clear(); }

void se_exception_initializer::add(const se_exception_info& info) { add(info, false); }

void se_exception_initializer::add(const se_exception_info& info, bool log) {
  _infos.push_back(info);
  if (!log || !detail::log_enabled(logger::log_normal)) return;
  std::wostringstream os;
  os << L"Exception - error code [0x" << std::hex << static_cast<unsigned int>(info.code())
     << std::dec << L"], context [" << info.context() << L"], message" << info.message();
  detail::log_entry(logger::log_normal, os.str());
}

unsigned int se_exception_initializer::info_count() const {
  return static_cast<unsigned int>(_infos.size());
}

std::vector<se_exception_initializer::se_exception_info> se_exception_initializer::info() const {
  return _infos;
}

long se_exception_initializer::get_hresult(unsigned long index) const {
  if (_infos.empty()) return 0;
  if (index >= _infos.size()) return kInvalidIndex;
  const long code = _infos[index].code();
  return code != 0 ? code : code32(kUnspecifiedError);
}

std::wstring se_exception_initializer::infostring() {
  std::wostringstream os;
  for (std::size_t i = 0; i < _infos.size(); ++i) {
    if (i == 0 && _infos.size() > 1) os << L"\r\n";
    if (i > 0) os << L"\r\n-->\t";
    os << _infos[i].context();
  }
  return os.str();
}

void se_exception_initializer::clear() { _infos.clear(); }

// --- Analysis ---

// Thread cancellation unwinds with an exception that is no C++ object, so
// catching it binds a reference to null; the sanitizer's null check is off
// here for that one clause's sake.
KRCORE_NO_SANITIZE_NULL void se_exception_initializer::Analyze(const char* file,
                                                                            int line) {
  try {
    throw;
  }
  KRCORE_PASS_THREAD_END
  catch (se_translator::access_violation& e) {
    const bool read = e.is_read_op();
    std::ostringstream os;
    os << e.name() << " at 0x" << pointer_text(e.address()) << ", thread attempts to "
       << (read ? "read" : "write") << " at 0x" << hex{e.inaccessible_address()} << ", Flags: [0x"
       << hex{record_flags(e)} << "]"
       << ", Code: [0x" << hex{e.code()} << "]";
    const std::wstring text = finish_memory_fault_text(os, e, file, line);
    log_at(read ? logger::log_warning : logger::log_error, text);
    const se_exception_info info(code32(e.code()), text, text);
    add(info, false);
    if (read) {
      HandleNonContinuableExceptionFlag(e, info);
      return;
    }
    // A write through a bad pointer means the process's memory can no longer
    // be trusted: report it and end at once, without running destructors.
    LogEventMessage(e, info,
                    std::wstring(L"Non-continuable exception [") +
                        (e.is_continuable() ? L"chose not to continue" : L"flag was set") +
                        L"], process will be terminated!",
                    true);
    detail::exit_process_now(static_cast<int>(kAccessViolation));
  } catch (se_translator::no_memory& e) {
    std::ostringstream os;
    os << e.name() << " at 0x" << pointer_text(e.address()) << ", unable to allocate "
       << e.mem_size() << " bytes";
    const std::wstring text = finish_memory_fault_text(os, e, file, line);
    LOGVERBOSE(text);
    const se_exception_info info(code32(e.code()), text, text);
    add(info, false);
    HandleNonContinuableExceptionFlag(e, info);
  } catch (krException& e) {
    std::ostringstream os;
    os << "krException caught: [" << e.what() << "]"
       << ", ";
    write_location(os, file, line);
    const std::wstring text = convertstringtowstring(os.str());
    LOGVERBOSE(text);
    add(se_exception_info(code32(e.code()), text, e.whatwide()), false);
  } catch (se_translator::exception& e) {
    std::ostringstream os;
    os << "se_translator::exception caught: "
       << "Type: " << e.name();
    if (e.pointers()) os << " at 0x" << pointer_text(e.address());
    os << ", ";
    write_location(os, file, line);
    os << "\r\n"
       << "Description: [" << e.description() << "]";
    if (e.pointers()) {
      os << ", Flags: [0x" << hex{record_flags(e)} << "]"
         << ", Code: [0x" << hex{e.code()} << "]"
         << ", Stack trace : "
         << "\r\n";
      sym_engine::stack_trace(os, record_context(e), 0, kTraceFormat);
    }
    const std::wstring text = convertstringtowstring(os.str());
    if (!e.pointers())
      LOGVERBOSE(text);
    else
      log_at(e.is_continuable() ? logger::log_warning : logger::log_error, text);
    const se_exception_info info(code32(e.code()), text, text);
    add(info, false);
    HandleNonContinuableExceptionFlag(e, info);
  } catch (w32_exception& e) {
    std::wostringstream os;
    os << L"w32_exception caught: Error [" << e.code << L"L], " << e.description();
    const std::wstring text = os.str();
    LOGVERBOSE(text);
    add(se_exception_info(code32(e.code), text, e.description()), false);
  } catch (std::exception& e) {
    std::ostringstream os;
    os << "std::exception caught: "
       << "Description: [" << e.what() << "], ";
    write_location(os, file, line);
    const std::wstring text = convertstringtowstring(os.str());
    LOGVERBOSE(text);
    add(se_exception_info(code32(kUnexpectedError), text, convertstringtowstring(e.what())), false);
  } catch (_com_error& e) {
    const std::wstring message = GetComErrorMessage(e);
    std::ostringstream os;
    os << "_com_error exception caught: Error Code: 0x" << hex{static_cast<unsigned int>(e.Error())}
       << ", ";
    write_location(os, file, line);
    os << ", Message: [" << convertwstringtostring(message) << "]";
    const std::wstring text = convertstringtowstring(os.str());
    LOGVERBOSE(text);
    add(se_exception_info(e.Error(), text, message), false);
  } catch (long hr) {
    // An HRESULT thrown as such. (There is no ATL exception class on this
    // platform, so no separate clause for one.)
    const unsigned int code = static_cast<unsigned int>(hr);
    std::ostringstream os;
    os << "HRESULT caught: Error Code: 0x" << hex{code} << ", ";
    write_location(os, file, line);
    os << ", Message: [" << geterrormessage_shortstring(code) << "]";
    const std::wstring text = convertstringtowstring(os.str());
    LOGVERBOSE(text);
    add(se_exception_info(code32(code), text, std::wstring()), false);
  } catch (...) {
    AddUnknown(file, line);
  }
}

void se_exception_initializer::AddUnknown(const char* file, int line) {
  std::ostringstream os;
  os << "Unknown exception caught! ";
  write_location(os, file, line);
  const std::wstring text = convertstringtowstring(os.str());
  LOGVERBOSE(text);
  add(se_exception_info(code32(kUnexpectedError), text, text), false);
}

void se_exception_initializer::LogEventMessage(se_translator::exception&,
                                               const se_exception_info& info,
                                               const std::wstring& text, bool flush) {
  EventLogger_t events(EventLogger_t::_QMILogName);
  events.ReportEventW(text + L" " + info.context(), 1, 0, 0xC0000067);
  if (flush) detail::log_flush();
  events.Clear();
}

void se_exception_initializer::HandleNonContinuableExceptionFlag(se_translator::exception& e,
                                                                 const se_exception_info& info) {
  if (!e.is_continuable())
    LogEventMessage(e, info,
                    L"Non-continuable exception flag was set, process might be terminated!", true);
}

void Add_se_exception_info(se_exception_initializer& initializer, unsigned long code,
                           const std::wstring& context, const std::wstring& message) {
  initializer.add(se_exception_initializer::se_exception_info(code32(code), context, message),
                  true);
}

namespace detail {

unsigned long make_thread_guard(std::optional<se_exception_initializer>& guard,
                                const char* who) noexcept {
  unsigned long code = 0;
  try {
    guard.emplace(se_exception_initializer::handler_type());
    return 0;
  } catch (const krException& e) {
    code = e.code();
  } catch (const std::bad_alloc&) {
    code = 8;  // ERROR_NOT_ENOUGH_MEMORY
  } catch (const std::exception&) {
    code = 1627;  // ERROR_FUNCTION_FAILED
  }
  try {
    std::ostringstream os;
    os << (who ? who : "") << " - the thread cannot set up its fault translation, error [0x"
       << std::hex << code << std::dec << "]; the thread ends";
    log_at(logger::log_error, convertstringtowstring(os.str()));
  } catch (...) {  // the log line is a courtesy; the code is the answer
  }
  return code;
}

}  // namespace detail
}  // namespace krCore
