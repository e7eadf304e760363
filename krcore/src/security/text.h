// Internal: the small text helpers the security family shares: account and
// right names compare without regard to case, and its diagnostics go
// through the logger only when their level is enabled.
#pragma once

#include <cwctype>
#include <string>

#include "logging/logsink.h"

namespace krCore::detail {

inline bool iequal(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
      return false;
  return true;
}

inline std::wstring lower_case(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

inline void log_at(unsigned level, const std::wstring& text) {
  if (log_enabled(level)) log_entry(level, text);
}

}  // namespace krCore::detail
