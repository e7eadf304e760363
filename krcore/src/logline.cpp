// The logger's line prefix: cached date and time per second, cached thread
// id per thread, one reused line buffer.
#include "logline.h"

#include "clocks.h"
#include "filetime.h"

#include <climits>
#include <cwchar>
#include <utility>

namespace krCore::detail {
namespace {

// Appends `value` in decimal, padded on the left with `pad` to `width`.
void append_number(std::wstring& out, unsigned long value, size_t width, wchar_t pad) {
  wchar_t digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = n; i < width; ++i) out.push_back(pad);
  while (n > 0) out.push_back(digits[--n]);
}

// The signed form, as printf's "%*ld" prints it.
void append_signed(std::wstring& out, long value, size_t width) {
  if (value >= 0) return append_number(out, static_cast<unsigned long>(value), width, L' ');
  std::wstring magnitude;
  append_number(magnitude, 0ul - static_cast<unsigned long>(value), 0, L' ');
  for (size_t i = magnitude.size() + 1; i < width; ++i) out.push_back(L' ');
  out.push_back(L'-');
  out += magnitude;
}

// The thread id field "ttttt " of the calling thread, formatted on the
// thread's first line.
struct thread_field {
  thread_field() {
    append_signed(text, current_thread_id(), 5);
    text.push_back(L' ');
  }
  std::wstring text;
};

const std::wstring& this_thread_field() {
  thread_local const thread_field field;
  return field.text;
}

}  // namespace

log_line_builder::log_line_builder(unsigned long pid) : _second(INT64_MIN) {
  _pidField = L" PID: ";
  append_signed(_pidField, static_cast<long>(pid), 4);
  _pidField += L" TID: ";
  _line.reserve(256);
}

const wchar_t* log_line_builder::level_tag(unsigned level) {
  if (level & 8) return L"[ERROR]";
  if (level & 4) return L"[WARN]";
  if (level & 2) return L"[INFO]";
  if (level & 1) return L"[VERB]";
  return L"";
}

void log_line_builder::refresh_stamp(std::int64_t second) {
  SYSTEMTIME t;
  local_time_at(second, t);
  _stamp.clear();
  const std::pair<unsigned, wchar_t> fields[] = {{t.wYear, L'/'},   {t.wMonth, L'/'},
                                                 {t.wDay, L' '},    {t.wHour, L':'},
                                                 {t.wMinute, L':'}, {t.wSecond, L':'}};
  for (const auto& [value, separator] : fields) {
    append_number(_stamp, value, 2, L'0');
    _stamp.push_back(separator);
  }
  _second = second;
}

const std::wstring& log_line_builder::build(const wchar_t* message, unsigned level) {
  // The wall clock of the clock table, so the log shows the time the rest
  // of the library sees.
  const unsigned long long now = clocks().utc_now();
  const auto second = static_cast<std::int64_t>(now / kFileTimeUnitsPerSecond -
                                                kFileTimeUnixEpoch / kFileTimeUnitsPerSecond);
  const auto millisecond = static_cast<unsigned>(now / kFileTimeUnitsPerMs % 1000);
  if (second != _second) refresh_stamp(second);
  _line.assign(_stamp);
  append_number(_line, millisecond, 3, L'0');
  _line += _pidField;
  _line += this_thread_field();
  _line += level_tag(level);
  _line.push_back(L' ');
  _line += message;
  _line += L"\r\n";
  return _line;
}

}  // namespace krCore::detail
