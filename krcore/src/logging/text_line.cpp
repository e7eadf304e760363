// The line of the UTF-8 text format (see log_line_builder::set_utf8_text):
// what tools that read lines expect, with a time that names its zone. The
// line is built as UTF-8 bytes straight into the file's buffer; the date,
// time and zone are formatted once per second and the thread id once per
// thread, like the other format's head.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "foundation/compiler.h"
#include "foundation/utf.h"

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

// The calling thread's id as decimal text, formatted on its first line.
// Trivially destructible: reaching it costs no guard.
struct text_thread_id {
  char digits[24];
  unsigned char size = 0;
};
constinit KRCORE_TLS_INITIAL_EXEC thread_local text_thread_id t_text_tid{};

// A forked child's one thread formats its own id on its next line.
const int g_text_fork_reset = (at_fork_child([] { t_text_tid.size = 0; }), 0);

char* put_text(std::string_view text, char* out) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// " <value>" in decimal.
char* put_number(unsigned long value, char* out) {
  char digits[24];
  char* p = digits + sizeof digits;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  *--p = ' ';
  return put_text(std::string_view(p, static_cast<std::size_t>(digits + sizeof digits - p)), out);
}

const text_thread_id& this_thread_id_text() {
  text_thread_id& id = t_text_tid;
  if (id.size == 0) {
    char* end = put_number(static_cast<unsigned long>(current_thread_id()), id.digits);
    id.size = static_cast<unsigned char>(end - id.digits);
  }
  return id;
}

// `message` in UTF-8 with each run of line breaks, and the tabs after it,
// shown as " | "; breaks at the end are dropped. At most 4 bytes per
// character.
char* put_one_line(std::wstring_view message, char* out) {
  std::size_t i = 0;
  while (i < message.size()) {
    std::size_t used = 0;
    out = encode_utf8_to_break(message.substr(i), used, out);
    i += used;
    while (i < message.size() &&
           (message[i] == L'\r' || message[i] == L'\n' || message[i] == L'\t'))
      ++i;
    if (i < message.size()) out = put_text(" | ", out);
  }
  return out;
}

}  // namespace

void log_line_builder::refresh_text(std::int64_t second) {
  SYSTEMTIME t;
  local_time_at(second, t);
  const long long offset =
      (days_from_civil(t.wYear, t.wMonth, t.wDay) * 86400 + t.wHour * 3600LL + t.wMinute * 60LL +
       t.wSecond - second) / 60;
  const long long minutes = offset < 0 ? -offset : offset;
  // At most 5 + 15 + 4 + 6 + 21 bytes.
  const int n = std::snprintf(_textHead, sizeof _textHead,
                              "%04u-%02u-%02uT%02u:%02u:%02u.000%c%02lld:%02lld %lu", t.wYear,
                              t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                              offset < 0 ? '-' : '+', minutes / 60, minutes % 60, _pid);
  _textHeadSize = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof _textHead - 1) : 0;
  _textMsAt = static_cast<std::size_t>(std::strchr(_textHead, '.') - _textHead) + 1;
  _textSecond = second;
}

char* log_line_builder::build_utf8(std::wstring_view message, unsigned level, char* out) {
  const unsigned long long now = clocks().utc_now();
  const auto second = static_cast<std::int64_t>(now / kFileTimeUnitsPerSecond -
                                                kFileTimeUnixEpoch / kFileTimeUnitsPerSecond);
  if (_forkGeneration != fork_generation()) {
    _forkGeneration = fork_generation();
    _pid = current_process_id();
    _second = INT64_MIN;  // both heads name the old process
    _textSecond = INT64_MIN;
  }
  if (second != _textSecond) refresh_text(second);
  const auto ms = static_cast<unsigned>(now / kFileTimeUnitsPerMs % 1000);
  _textHead[_textMsAt] = static_cast<char>('0' + ms / 100);
  _textHead[_textMsAt + 1] = static_cast<char>('0' + ms / 10 % 10);
  _textHead[_textMsAt + 2] = static_cast<char>('0' + ms % 10);
  // Each part is copied with the rest of its slot, which the next part
  // overwrites: a copy of fixed size is a few moves where one of the part's
  // own size is a call. The line's room holds every slot.
  static_assert(sizeof _textHead + sizeof(text_thread_id{}.digits) + kTextTagSlot <=
                utf8_bound(0));
  std::memcpy(out, _textHead, sizeof _textHead);
  out += _textHeadSize;
  const text_thread_id& tid = this_thread_id_text();
  std::memcpy(out, tid.digits, sizeof tid.digits);
  out += tid.size;
  *out++ = ' ';
  std::size_t tag_size = 0;
  std::memcpy(out, text_tag(level, tag_size), kTextTagSlot);
  out = put_one_line(message, out + tag_size);
  *out++ = '\n';
  return out;
}

void log_line_builder::text_line(std::wstring_view message, unsigned level, std::wstring& out) {
  std::string bytes(utf8_bound(message.size()), '\0');
  bytes.resize(static_cast<std::size_t>(build_utf8(message, level, bytes.data()) - bytes.data()));
  out = wide_from_utf8(bytes);
}

}  // namespace krCore::detail
