// Internal: the logger's line format.
//
//   "2024/03/07 14:05:09:042 PID:  612 TID:  3044 [INFO] message\r\n"
//
// Local date and time to the millisecond, the process id right-aligned in 4,
// the thread id right-aligned in 5, the level tag, the message, CR LF. The
// write step runs for every entry of every thread under one lock, so the
// builder avoids the per-line costs: the prefix is kept ready in the byte
// form of the log file (UTF-16LE), the date and time up to the second are
// rebuilt once per second (re-reading the time zone then) and only the
// milliseconds when they change, the thread id is formatted once per
// thread, and nothing is allocated per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// Not thread-safe: the logger's lock serialises build() and build_utf16le().
class KRCORE_INTERNAL log_line_builder {
 public:
  explicit log_line_builder(unsigned long pid);

  // The whole line for `message` at `level` (one of the level bits; the
  // highest bit picks the tag). The reference stays valid until the next
  // call.
  const std::wstring& build(const wchar_t* message, unsigned level);

  // The same line as UTF-16LE bytes, written to `out`, which has room for
  // utf16le_bound(message.size()) bytes. Returns the end.
  char* build_utf16le(std::wstring_view message, unsigned level, char* out);
  static constexpr std::size_t utf16le_bound(std::size_t length) {
    return kPrefixBytes + 4 * length + 4;
  }

  // The line of the UTF-8 text format (below) as UTF-8 bytes, written to
  // `out`, which has room for utf8_bound(message.size()) bytes. Returns the
  // end.
  char* build_utf8(std::wstring_view message, unsigned level, char* out);
  static constexpr std::size_t utf8_bound(std::size_t length) { return 128 + 4 * length; }

  // With `on`, build() makes the line of the UTF-8 text format instead:
  //   "2024-03-07T14:05:09.042+01:00 612 3044 [INFO] message\n"
  // local time with its offset from UTC, process and thread id, the tag, and
  // the message with each run of line breaks (and the tabs after it) shown
  // as " | ", so an entry is one line.
  void set_utf8_text(bool on) { _utf8 = on; }

  // The tag of a level: "[ERROR]", "[WARN]", "[INFO]" or "[VERB]", by the
  // highest of the bits 8, 4, 2, 1; empty when none is set.
  static const wchar_t* level_tag(unsigned level);
  // The same tag for the text format, in UTF-8 with the space after it
  // (none after the empty tag): a slot of kTextTagSlot bytes, of which
  // `size` are the tag.
  static constexpr std::size_t kTextTagSlot = 8;
  static const char* text_tag(unsigned level, std::size_t& size);

 private:
  // Room for the prefix: a 5-digit year and 20-digit ids at the most, the
  // thread id field and the tag.
  static constexpr std::size_t kHeadBytes = std::size_t{2} * 64;
  static constexpr std::size_t kPrefixBytes = kHeadBytes + std::size_t{2} * 32 + std::size_t{2} * 8;

  // Writes the prefix (up to the message) as UTF-16LE bytes; returns the end.
  char* prefix(unsigned level, char* out);
  void refresh_head(std::int64_t second);
  // The line of the UTF-8 text format, in wide characters (text_line.cpp).
  void text_line(std::wstring_view message, unsigned level, std::wstring& out);
  // Formats the text format's date, time and zone of `second`.
  void refresh_text(std::int64_t second);
  // Brings the head to `now` (a time in 100 ns units, as the clock table
  // gives it): the date and time when the second changed, the milliseconds.
  void stamp(unsigned long long now);

  std::int64_t _second;
  // Where the millisecond the head shows starts, in the clock's units.
  unsigned long long _msStart;
  // "YYYY/MM/DD HH:MM:SS:mmm PID: pppp TID: " as UTF-16LE bytes; the
  // milliseconds start at byte `_msAt`.
  char _head[kHeadBytes];
  std::size_t _headSize = 0;
  std::size_t _msAt = 0;
  unsigned long _pid;
  // The fork generation `_pid` belongs to.
  unsigned _forkGeneration;
  std::wstring _line;
  bool _utf8 = false;
  // The text format's "YYYY-MM-DDThh:mm:ss.mmm+hh:mm pid" of `_textSecond`
  // in UTF-8, its milliseconds at `_textMsAt`.
  std::int64_t _textSecond = INT64_MIN;
  char _textHead[64];
  std::size_t _textHeadSize = 0;
  std::size_t _textMsAt = 0;
};

// The platform half: the calling thread's system-wide id.
long current_thread_id();

// The platform half: writes a finished line (ending in CR LF) to the
// process's standard output as it is, best effort: a closed or full output
// has no one to tell.
void console_write(const std::wstring& line);

}  // namespace krCore::detail
