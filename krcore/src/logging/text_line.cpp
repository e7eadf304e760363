// The line of the UTF-8 text format (see log_line_builder::set_utf8_text):
// what tools that read lines expect, with a time that names its zone. The
// date, time and zone are formatted once per second, like the other
// format's head.
#include <climits>
#include <cstdio>

#include "foundation/fork_child.h"
#include "logging/logline.h"
#include "sysutil/environment.h"
#include "time/clocks.h"
#include "time/filetime.h"

namespace krCore::detail {
namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// " <value>" in decimal, without a per-call allocation or format parse.
void append_number(unsigned long value, std::wstring& out) {
  wchar_t digits[24];
  wchar_t* p = digits + 24;
  do {
    *--p = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  *--p = L' ';
  out.append(p, static_cast<std::size_t>(digits + 24 - p));
}

// `message` with each run of line breaks, and the tabs after it, shown as
// " | "; breaks at the end are dropped.
void append_one_line(std::wstring_view message, std::wstring& out) {
  std::size_t i = 0;
  while (i < message.size()) {
    const wchar_t c = message[i];
    if (c != L'\r' && c != L'\n') {
      out += c;
      ++i;
      continue;
    }
    while (i < message.size() &&
           (message[i] == L'\r' || message[i] == L'\n' || message[i] == L'\t'))
      ++i;
    if (i < message.size()) out += L" | ";
  }
}

}  // namespace

void log_line_builder::text_line(std::wstring_view message, unsigned level, std::wstring& out) {
  const unsigned long long now = clocks().utc_now();
  const auto second = static_cast<std::int64_t>(now / kFileTimeUnitsPerSecond -
                                                kFileTimeUnixEpoch / kFileTimeUnitsPerSecond);
  if (_forkGeneration != fork_generation()) {
    _forkGeneration = fork_generation();
    _pid = current_process_id();
    _second = INT64_MIN;  // the other head names the old process
  }
  if (second != _textSecond) {
    SYSTEMTIME t;
    local_time_at(second, t);
    wchar_t text[32];
    (void)std::swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                        t.wHour, t.wMinute, t.wSecond);
    _textDate = text;
    const long long offset =
        (days_from_civil(t.wYear, t.wMonth, t.wDay) * 86400 + t.wHour * 3600 + t.wMinute * 60 +
         t.wSecond - second) / 60;
    const long long minutes = offset < 0 ? -offset : offset;
    (void)std::swprintf(text, 32, L"%lc%02lld:%02lld", offset < 0 ? L'-' : L'+', minutes / 60,
                        minutes % 60);
    _textZone = text;
    _textSecond = second;
  }
  const auto ms = static_cast<unsigned>(now / kFileTimeUnitsPerMs % 1000);
  out.assign(_textDate);
  out += L'.';
  out += static_cast<wchar_t>(L'0' + ms / 100);
  out += static_cast<wchar_t>(L'0' + ms / 10 % 10);
  out += static_cast<wchar_t>(L'0' + ms % 10);
  out += _textZone;
  append_number(static_cast<unsigned long>(_pid), out);
  append_number(static_cast<unsigned long>(current_thread_id()), out);
  out += L' ';
  const wchar_t* tag = level_tag(level);
  if (*tag) out.append(tag).append(L" ");
  append_one_line(message, out);
  out += L'\n';
}

}  // namespace krCore::detail
