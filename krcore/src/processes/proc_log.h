// Internal: the small text helpers the process and query functions log with.
#pragma once

#include <cstdint>
#include <string>

#include "logging/logsink.h"

namespace krCore::detail {

// Lower-case hexadecimal digits of a value, no prefix.
inline std::wstring hex_text(std::uint64_t value) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring text;
  do {
    text.insert(text.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value);
  return text;
}

inline std::wstring handle_text(const void* handle) {
  return hex_text(reinterpret_cast<std::uintptr_t>(handle));
}

// Builds the text only when the level passes.
template <class F>
void log_if(unsigned level, F&& text) {
  if (log_enabled(level)) log_entry(level, text());
}

}  // namespace krCore::detail
