// The logger's line prefix: kept ready as UTF-16LE bytes, with the date and
// time rebuilt once per second, the milliseconds patched in when they change
// and the thread id formatted once per thread.
#include "foundation/compiler.h"
#include "logging/logline.h"

#include "time/clocks.h"
#include "time/filetime.h"
#include "foundation/fork_child.h"
#include "foundation/utf.h"
#include "sysutil/environment.h"

#include <bit>
#include <climits>
#include <cstring>
#include <string_view>

namespace krCore::detail {
namespace {

// `value` in decimal, padded on the left with `pad` to `width`, as printf's
// "%*ld" prints it (and "%0*u" for values that are not negative).
std::string_view format_number(char (&buffer)[32], long value, std::size_t width, char pad) {
  char* const end = buffer + sizeof buffer;
  char* p = end;
  unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : value;
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  while (static_cast<std::size_t>(end - p) < width) *--p = pad;
  return {p, static_cast<std::size_t>(end - p)};
}

// Writes ASCII text as UTF-16LE bytes; returns the end.
template <class Char>
char* put_ascii(std::basic_string_view<Char> text, char* out) {
  for (const Char c : text) {
    *out++ = static_cast<char>(c);
    *out++ = 0;
  }
  return out;
}

// The thread id field "ttttt " of the calling thread as UTF-16LE bytes,
// formatted on the thread's first line. Trivially destructible, so reaching
// it costs no guard and registers no destructor.
struct thread_field {
  char bytes[2 * 32];
  unsigned char size = 0;
};

constinit KRCORE_TLS_INITIAL_EXEC thread_local thread_field t_field{};

// A forked child's one thread formats its own id on its next line.
const int g_fork_reset = (at_fork_child([] { t_field.size = 0; }), 0);

const thread_field& this_thread_field() {
  thread_field& field = t_field;
  if (field.size == 0) {
    char digits[32];
    char* end = put_ascii(format_number(digits, current_thread_id(), 5, ' '), field.bytes);
    end = put_ascii(std::string_view(" "), end);
    field.size = static_cast<unsigned char>(end - field.bytes);
  }
  return field;
}

constexpr char kLineEnd[] = {'\r', 0, '\n', 0};

// The level tags, each with the space after it, as UTF-16LE bytes in a
// slot of fixed size: a line copies its tag in one move instead of
// spelling it out.
constexpr std::size_t kTagSlot = 16;
struct tag_field {
  char bytes[kTagSlot];
  std::size_t size;
};
constexpr tag_field make_tag_field(std::wstring_view tag) {
  tag_field field{};
  std::size_t at = 0;
  for (const wchar_t c : tag) {
    field.bytes[at++] = static_cast<char>(c);
    field.bytes[at++] = 0;
  }
  field.bytes[at++] = ' ';
  field.bytes[at++] = 0;
  field.size = at;
  return field;
}

// Tags by the highest of the level bits 8, 4, 2, 1 (index 4 to 1); none
// set is index 0, the empty tag.
constexpr const wchar_t* kTags[] = {L"", L"[VERB]", L"[INFO]", L"[WARN]", L"[ERROR]"};
constexpr tag_field kTagFields[] = {make_tag_field(kTags[0]), make_tag_field(kTags[1]),
                                    make_tag_field(kTags[2]), make_tag_field(kTags[3]),
                                    make_tag_field(kTags[4])};
// The same tags for the text format: UTF-8, the space after each but the
// empty one, in a slot of fixed size.
struct text_tag_field {
  char bytes[log_line_builder::kTextTagSlot];
  std::size_t size;
};
constexpr text_tag_field make_text_tag_field(std::wstring_view tag) {
  text_tag_field field{};
  std::size_t at = 0;
  for (const wchar_t c : tag) field.bytes[at++] = static_cast<char>(c);
  if (at != 0) field.bytes[at++] = ' ';
  field.size = at;
  return field;
}
constexpr text_tag_field kTextTagFields[] = {
    make_text_tag_field(kTags[0]), make_text_tag_field(kTags[1]), make_text_tag_field(kTags[2]),
    make_text_tag_field(kTags[3]), make_text_tag_field(kTags[4])};

std::size_t tag_index(unsigned level) {
  return static_cast<std::size_t>(std::bit_width(level & 0xFu));
}

}  // namespace

log_line_builder::log_line_builder(unsigned long pid)
    : _second(INT64_MIN),
      // Far enough above any time that the first line is stamped.
      _msStart(~0ull - kFileTimeUnitsPerMs),
      _pid(pid),
      _forkGeneration(fork_generation()) {
  (void)g_fork_reset;
  _line.reserve(256);
}

const wchar_t* log_line_builder::level_tag(unsigned level) { return kTags[tag_index(level)]; }

const char* log_line_builder::text_tag(unsigned level, std::size_t& size) {
  const text_tag_field& field = kTextTagFields[tag_index(level)];
  size = field.size;
  return field.bytes;
}

void log_line_builder::refresh_head(std::int64_t second) {
  SYSTEMTIME t;
  local_time_at(second, t);
  char digits[32];
  char* out = _head;
  const std::pair<unsigned, char> fields[] = {{t.wYear, '/'}, {t.wMonth, '/'},  {t.wDay, ' '},
                                              {t.wHour, ':'}, {t.wMinute, ':'}, {t.wSecond, ':'}};
  for (const auto& [value, separator] : fields) {
    out = put_ascii(format_number(digits, value, 2, '0'), out);
    out = put_ascii(std::string_view(&separator, 1), out);
  }
  _msAt = static_cast<std::size_t>(out - _head);
  out = put_ascii(std::string_view("000 PID: "), out);
  out = put_ascii(format_number(digits, static_cast<long>(_pid), 4, ' '), out);
  out = put_ascii(std::string_view(" TID: "), out);
  _headSize = static_cast<std::size_t>(out - _head);
  _second = second;
}

void log_line_builder::stamp(unsigned long long now) {
  const auto second = static_cast<std::int64_t>(now / kFileTimeUnitsPerSecond -
                                                kFileTimeUnixEpoch / kFileTimeUnitsPerSecond);
  if (second != _second || _forkGeneration != fork_generation()) {
    // In a forked child the head names the child's process.
    if (_forkGeneration != fork_generation()) {
      _forkGeneration = fork_generation();
      _pid = current_process_id();
      _textSecond = INT64_MIN;  // the text format's head names the old process
    }
    refresh_head(second);
  }
  const auto millisecond = static_cast<unsigned>(now / kFileTimeUnitsPerMs % 1000);
  _head[_msAt] = static_cast<char>('0' + millisecond / 100);
  _head[_msAt + 2] = static_cast<char>('0' + millisecond / 10 % 10);
  _head[_msAt + 4] = static_cast<char>('0' + millisecond % 10);
  _msStart = now - now % kFileTimeUnitsPerMs;
}

char* log_line_builder::prefix(unsigned level, char* out) {
  // The wall clock of the clock table, so the log shows the time the rest
  // of the library sees.
  const unsigned long long now = clocks().utc_now();
  // Lines come faster than a millisecond apart when it matters: the head
  // of the previous line is then this line's head as it stands. A clock
  // set back lands below `_msStart`, where the unsigned difference is
  // huge, and is stamped afresh like any other millisecond.
  if (now - _msStart >= kFileTimeUnitsPerMs || _forkGeneration != fork_generation()) stamp(now);
  // Each part is copied whole, with the rest of its slot: a copy of fixed
  // size is a few moves where one of the part's own size is a call. The
  // prefix's room holds every slot, and what a slot's rest writes the next
  // part overwrites.
  static_assert(sizeof _head + sizeof(thread_field{}.bytes) + kTagSlot <= kPrefixBytes);
  std::memcpy(out, _head, sizeof _head);
  out += _headSize;
  const thread_field& tid = this_thread_field();
  std::memcpy(out, tid.bytes, sizeof tid.bytes);
  out += tid.size;
  const tag_field& tag = kTagFields[tag_index(level)];
  std::memcpy(out, tag.bytes, kTagSlot);
  return out + tag.size;
}

const std::wstring& log_line_builder::build(const wchar_t* message, unsigned level) {
  if (_utf8) {
    text_line(message, level, _line);
    return _line;
  }
  char head[kPrefixBytes];
  const char* const end = prefix(level, head);
  _line.clear();
  for (const char* p = head; p < end; p += 2) _line.push_back(static_cast<unsigned char>(*p));
  _line += message;
  _line += L"\r\n";
  return _line;
}

char* log_line_builder::build_utf16le(std::wstring_view message, unsigned level, char* out) {
  out = encode_utf16le(message, prefix(level, out));
  std::memcpy(out, kLineEnd, sizeof kLineEnd);
  return out + sizeof kLineEnd;
}

}  // namespace krCore::detail
