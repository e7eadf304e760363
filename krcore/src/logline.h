// Internal: the logger's line format.
//
//   "2024/03/07 14:05:09:042 PID:  612 TID:  3044 [INFO] message\r\n"
//
// Local date and time to the millisecond, the process id right-aligned in 4,
// the thread id right-aligned in 5, the level tag, the message, CR LF. The
// write step runs for every entry of every thread under one lock, so the
// builder avoids the per-line costs: the date and time up to the second are
// rebuilt once per second (re-reading the time zone then), the thread id is
// formatted once per thread, and the line buffer is reused, so a line costs
// no heap allocation once the buffer has grown to the longest line.
#pragma once

#include <cstdint>
#include <string>

#include "internal.h"

namespace krCore::detail {

// Not thread-safe: the logger's lock serialises build().
class KRCORE_INTERNAL log_line_builder {
 public:
  explicit log_line_builder(unsigned long pid);

  // The whole line for `message` at `level` (one of the level bits; the
  // highest bit picks the tag). The reference stays valid until the next
  // call.
  const std::wstring& build(const wchar_t* message, unsigned level);

  // The tag of a level: "[ERROR]", "[WARN]", "[INFO]" or "[VERB]", by the
  // highest of the bits 8, 4, 2, 1; empty when none is set.
  static const wchar_t* level_tag(unsigned level);

 private:
  void refresh_stamp(std::int64_t second);

  std::int64_t _second;
  std::wstring _stamp;     // "YYYY/MM/DD HH:MM:SS:"
  std::wstring _pidField;  // " PID: pppp TID: "
  std::wstring _line;
};

// The platform half: the calling thread's system-wide id.
long current_thread_id();

}  // namespace krCore::detail
