// Streams into the log: basic_logbuf, a stream buffer whose text becomes one
// log entry at each sync, and basic_log_ostream, a stream whose text becomes
// one entry when it is destroyed.
#pragma once

#include <krcore/logger.h>
#include <krcore/singleton.h>

#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>

namespace krCore {

// A stream buffer that turns what accumulates between two syncs into one log
// entry of a fixed level. It has no put area, so every character reaches
// overflow(); line feeds are ordinary characters. sync() writes the text up
// to its first null character (if any text) through the current logger and
// empties the buffer. Not thread-safe: one writer per buffer. Writing throws
// only std::bad_alloc from the buffer; the logger itself never throws (see
// logger).
template <class Ch, class Tr = std::char_traits<Ch>>
class basic_logbuf : public std::basic_streambuf<Ch, Tr> {
 public:
  using int_type = typename Tr::int_type;

  explicit basic_logbuf(logger::log_levels level = logger::log_normal, bool bypassfilters = false)
      : _level(level), _bypassfilters(bypassfilters) {}

  logger::log_levels level() const { return _level; }
  void level(logger::log_levels level) { _level = level; }

 protected:
  int_type overflow(int_type c) override {
    if (Tr::eq_int_type(c, Tr::eof())) {
      sync();
      return Tr::not_eof(c);
    }
    _buffer.push_back(Tr::to_char_type(c));
    return c;
  }

  // Same result as one overflow() per character, without the call per
  // character.
  std::streamsize xsputn(const Ch* s, std::streamsize n) override {
    _buffer.append(s, static_cast<size_t>(n));
    return n;
  }

  int sync() override {
    const size_t end = _buffer.find(Ch());
    if (end != 0 && !_buffer.empty()) {
      if (end != std::basic_string<Ch, Tr>::npos) _buffer.resize(end);
      singleton<logger>::instance()->log(_level, _buffer.c_str(), _bypassfilters);
    }
    _buffer.clear();
    return 0;
  }

 private:
  std::basic_string<Ch, Tr> _buffer;
  logger::log_levels _level;
  bool _bypassfilters;
};

namespace detail {
// Holds the stream's buffer in a base class, so that it is constructed
// before the stream that points at it.
template <class Ch, class Tr>
struct logbuf_holder {
  explicit logbuf_holder(logger::log_levels level) : _logbuf(level) {}
  basic_logbuf<Ch, Tr> _logbuf;
};
}  // namespace detail

// An output stream whose text becomes one entry of a fixed level when the
// stream is destroyed, or earlier at each explicit flush. A stream that got
// no text writes nothing. Test the level before building one, so that no
// text is formatted for a dropped entry. Not thread-safe: one writer. Errors
// as basic_logbuf: only std::bad_alloc, which the stream turns into its
// badbit as any standard stream does.
template <class Ch, class Tr = std::char_traits<Ch>>
class basic_log_ostream : private detail::logbuf_holder<Ch, Tr>, public std::basic_ostream<Ch, Tr> {
 public:
  explicit basic_log_ostream(logger::log_levels level = logger::log_normal)
      : detail::logbuf_holder<Ch, Tr>(level), std::basic_ostream<Ch, Tr>(&this->_logbuf) {}
  ~basic_log_ostream() override { this->_logbuf.pubsync(); }
};

}  // namespace krCore
