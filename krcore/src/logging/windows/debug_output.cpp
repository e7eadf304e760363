// The debugger output listener on Windows: the system's debugger channel.
// Whether anyone listens (an attached debugger or a viewer that reads the
// system's buffer) cannot be asked cheaply, so the channel always counts as
// ready and OutputDebugStringW decides.
#include <windows.h>

#include <algorithm>
#include <string>

#include "logging/debug_output.h"

namespace krCore::detail {

bool debug_listener_ready() noexcept { return true; }

void debug_listener_write(std::string_view utf8) noexcept {
  if (utf8.empty()) return;
  const int size = static_cast<int>(std::min<std::size_t>(utf8.size(), 0x7FFFFFFF));
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (units <= 0) return;
  try {
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, text.data(), units);
    OutputDebugStringW(text.c_str());
  } catch (...) {
    // A text that cannot be delivered is lost.
  }
}

}  // namespace krCore::detail
