// Faults that nothing handles on Windows, set up with the fault handler
// (fault_translation.cpp) on the first translator.
//
// Two kinds end here. A translated fault whose exception no catch clause
// takes, or that meets a frame that forbids exceptions, ends in the C++
// runtime's std::terminate, which would say nothing of the fault: the
// library's terminate handler takes it. A hardware fault on a thread
// without a translator that no handler took reaches the process's
// unhandled-exception filter. Each is reported as the exception analysis
// reports any fault (logged with its stack trace, flushed, and sent to the
// event log), a minidump of the process is written under the name
// GenerateDumpFileName gives, and the process ends with the fault's code,
// as it would without the library. The filter and terminate handler that
// were in place before get everything else; the filter (the C runtime's,
// which hands faults to signal() handlers) is asked first about a fault.
#include <windows.h>
#include <dbghelp.h>
#include <krcore/diagnostics.h>

#include <cstdlib>
#include <exception>

#include "diagnostics/fault_signals.h"
#include "diagnostics/windows/unhandled_filter.h"

namespace krCore::detail {
namespace {

LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
std::terminate_handler g_previous_terminate = nullptr;
bool g_installed = false;

// Writes the minidump of the process at the fault; false when it could not.
bool write_minidump(EXCEPTION_POINTERS* pointers) {
  wchar_t name[MAX_PATH];
  GenerateDumpFileName(name);
  HANDLE file = ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  MINIDUMP_EXCEPTION_INFORMATION where{};
  where.ThreadId = ::GetCurrentThreadId();
  where.ExceptionPointers = pointers;
  where.ClientPointers = FALSE;
  const bool written = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file,
                                           MiniDumpNormal, &where, nullptr, nullptr) != FALSE;
  ::CloseHandle(file);
  return written;
}

[[noreturn]] void report_and_end(const std::exception_ptr& fault, EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  report_unhandled_fault(fault);
  write_minidump(pointers);
  ::TerminateProcess(::GetCurrentProcess(), code);
  ::ExitProcess(code);
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* pointers) {
  if (g_previous_filter) {
    const LONG previous = g_previous_filter(pointers);
    if (previous != EXCEPTION_CONTINUE_SEARCH) return previous;
  }
  const EXCEPTION_RECORD& rec = *pointers->ExceptionRecord;
  if (!is_hardware_fault(rec.ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  std::exception_ptr fault;
  try {
    se_translator::translator(rec.ExceptionCode, pointers);
  } catch (...) {
    fault = std::current_exception();
  }
  report_and_end(fault, pointers);
}

[[noreturn]] void on_terminate() {
  const std::exception_ptr current = std::current_exception();
  EXCEPTION_POINTERS* pointers = nullptr;
  if (current) {
    try {
      std::rethrow_exception(current);
    } catch (const se_translator::exception& e) {
      pointers = e.pointers();
    } catch (...) {
    }
  }
  if (pointers) report_and_end(current, pointers);
  if (g_previous_terminate) g_previous_terminate();
  std::abort();
}

}  // namespace

void install_unhandled_filter() {
  g_previous_filter = ::SetUnhandledExceptionFilter(&on_unhandled);
  g_previous_terminate = std::set_terminate(&on_terminate);
  g_installed = true;
}

void uninstall_unhandled_filter() noexcept {
  if (!g_installed) return;
  g_installed = false;
  const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(g_previous_filter);
  if (current != &on_unhandled) ::SetUnhandledExceptionFilter(current);  // another's since
  if (std::get_terminate() == &on_terminate) std::set_terminate(g_previous_terminate);
}

}  // namespace krCore::detail
