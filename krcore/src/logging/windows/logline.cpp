// The platform parts of the log line on Windows: the thread id is the
// system's id of the thread; the console copy is written to the standard
// output handle itself, past the C runtime's text mode (which would turn the
// line's CR LF into CR CR LF): as UTF-16 to a console, whatever its code
// page, and as UTF-8 bytes to a file or pipe.
#include <windows.h>

#include <cstdio>

#include "foundation/utf.h"
#include "logging/logline.h"

namespace krCore::detail {

long current_thread_id() { return static_cast<long>(GetCurrentThreadId()); }

void console_write(const std::wstring& line) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  // What the program itself wrote through stdout goes first.
  (void)std::fflush(stdout);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    const wchar_t* text = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(left < 16384 ? left : 16384);
      if (!WriteConsoleW(out, text, chunk, &written, nullptr) || written == 0) return;
      text += written;
      left -= written;
    }
    return;
  }
  const std::string bytes = utf8_from_wide(line);
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(left < 65536 ? left : 65536);
    if (!WriteFile(out, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

}  // namespace krCore::detail
