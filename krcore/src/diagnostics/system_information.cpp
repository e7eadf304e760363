// The system-information block written when a fault is analysed, and the
// name a crash dump of the process is to have.
#include <krcore/diagnostics.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

#include "time/clocks.h"
#include "logging/debug_output.h"
#include "sysutil/environment.h"
#include "logging/logsink.h"
#include "diagnostics/system_facts.h"

namespace krCore::detail {
namespace {

constexpr unsigned long long kMiB = 1024ull * 1024;

// Mebibytes, rounded up.
int mebibytes(unsigned long long bytes) { return static_cast<int>((bytes + kMiB - 1) / kMiB); }

void append_line(std::wstring& text, const wchar_t* format, ...) {
  wchar_t line[160];
  va_list args;
  va_start(args, format);
  const int n = std::vswprintf(line, sizeof line / sizeof line[0], format, args);
  va_end(args);
  if (n > 0) text.append(line, static_cast<std::size_t>(n));
  text += L"\r\n";
}

}  // namespace

std::wstring format_system_information(const system_facts& f) {
  std::wstring text;
  // The time is shown at the two-second resolution of file-system time
  // stamps, the form crash reports have always carried.
  const SYSTEMTIME& t = f.local_time;
  append_line(text, L"Fatal Error occurred at %d/%d/%d %02d:%02d:%02d", t.wMonth, t.wDay, t.wYear,
              t.wHour, t.wMinute, t.wSecond & ~1);
  text += f.executable.empty() ? L"Unknown" : f.executable;
  text += L" running as ";
  text += f.user.empty() ? L"Unknown" : f.user;
  text += L"\r\n";
  if (f.os_known)
    append_line(text, L"Operating system:  %u.%u.%u", f.os_major, f.os_minor, f.os_build & 0xFFFF);
  else
    text += L"Operating system:  unknown\r\n";
  append_line(text, L"%d processor(s), type %d.", static_cast<int>(f.processors),
              static_cast<int>(f.processor_type));
  append_line(text, L"%d%% memory in use.", static_cast<int>(f.memory_load));
  append_line(text, L"%d MBytes physical memory.", mebibytes(f.total_physical));
  append_line(text, L"%d MBytes physical memory free.", mebibytes(f.free_physical));
  append_line(text, L"%d MBytes paging file.", mebibytes(f.total_paging));
  append_line(text, L"%d MBytes paging file free.", mebibytes(f.free_paging));
  append_line(text, L"%d MBytes user address space.", mebibytes(f.total_virtual));
  append_line(text, L"%d MBytes user address space free.", mebibytes(f.free_virtual));
  return text;
}

}  // namespace krCore::detail

void sym_engine::dumpsysteminformation() {
  try {
    const std::wstring text =
        krCore::detail::format_system_information(krCore::detail::read_system_facts());
    krCore::detail::debug_output(text);
    if (krCore::detail::log_enabled(krCore::detail::kLogNormal))
      krCore::detail::log_entry(krCore::detail::kLogNormal, text);
  } catch (...) {
    // Reporting a fault must not raise another: without memory for the
    // text, the block is left out.
  }
}

bool sym_engine::mini_dump(EXCEPTION_POINTERS*) {
  dumpsysteminformation();
  return true;
}

namespace krCore {

void GenerateDumpFileName(wchar_t* buffer) {
  if (!buffer) return;
  constexpr std::size_t kBufferSize = 260;
  constexpr std::size_t kPathLimit = 258;
  std::wstring path;
  try {
    unsigned long error = 0;
    path = detail::executable_path(error);
    if (error) path.clear();
    if (path.size() > kPathLimit) path.resize(kPathLimit);
  } catch (...) {
    path.clear();
  }
  wchar_t numbers[48];
  std::swprintf(numbers, sizeof numbers / sizeof numbers[0], L".%lu.%lu.CRASH.DMP",
                static_cast<unsigned long>(detail::clocks().tick_count()),
                detail::current_process_id());
  const wchar_t* parts[] = {path.empty() ? L"Unknown" : path.c_str(), numbers};
  std::size_t used = 0;
  for (const wchar_t* part : parts)
    for (; *part && used + 1 < kBufferSize; ++part) buffer[used++] = *part;
  buffer[used] = L'\0';
}

}  // namespace krCore
