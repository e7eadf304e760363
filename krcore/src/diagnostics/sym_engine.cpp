// The symbol engine: walks (from a fault's captured program counters, from
// a register set, or of the calling thread), lookups of module, function and
// source line for one address, the trace formatter, and the process-wide
// guard of the symbol handler. The platform half is behind symbols.h.
#include <krcore/diagnostics.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <ostream>
#include <string>

#include "foundation/compiler.h"
#include "diagnostics/fault_record.h"
#include "diagnostics/symbols.h"
#include "foundation/kill_hold.h"

namespace {

using krCore::detail::stack_frame;
using krCore::detail::symbol_handler_lock;

constexpr unsigned long kGuardFailed = 0xFFFFFFFF;
// Per-frame text buffers of the formatter.
constexpr unsigned kTextSize = 512;
// How far before an address without a line of its own the line search goes.
constexpr unsigned kLineSearch = 100;

// Copies `text` into `buffer`, truncated to size - 1 characters and
// terminated; the length copied.
unsigned copy_truncated(const std::string& text, char* buffer, unsigned size) {
  const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<unsigned>(n);
}

}  // namespace

namespace krCore::detail {

library_mutex& symbol_handler_lock() {
  static library_mutex lock;
  return lock;
}

}  // namespace krCore::detail

struct sym_engine::walk_state {
  static constexpr std::size_t kMaxFrames = 128;
  stack_frame frames[kMaxFrames];
  std::size_t count = 0;
  std::size_t next = 0;
};

sym_engine::sym_engine(unsigned int address) : _address(address) {}

sym_engine::~sym_engine() { delete _walk; }

// Copies values only (the walk state stays with each object), so assignment
// to itself changes nothing.
sym_engine& sym_engine::operator=(const sym_engine& other) {  // NOLINT(bugprone-unhandled-self-assignment)
  _address = other._address;
  _initialised = other._initialised;
  _context = other._context;
  return *this;
}

void sym_engine::address(unsigned long address) { _address = address; }

const char* sym_engine::default_fmt() { return "%f(%l) : %m at %s\n"; }

bool sym_engine::check() {
  if (!_initialised) _initialised = guard::instance().init();
  return _initialised;
}

unsigned int sym_engine::module(char* buffer, unsigned int size) {
  if (!buffer || size == 0 || !check()) return 0;
  try {
    std::string path;
    {
      std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
      if (!krCore::detail::symbol_module_path(_address, &path)) return 0;
    }
    const std::size_t slash = path.rfind('/');
    return copy_truncated(slash == std::string::npos ? path : path.substr(slash + 1), buffer, size);
  } catch (const std::exception&) {
    return 0;
  }
}

unsigned int sym_engine::symbol(char* buffer, unsigned int size, unsigned long* displacement) {
  if (!buffer || size == 0 || !check()) return 0;
  try {
    std::string name;
    std::uintptr_t offset = 0;
    {
      std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
      if (!krCore::detail::symbol_function(_address, &name, &offset)) return 0;
    }
    if (displacement) *displacement = offset;
    return copy_truncated(name + "()", buffer, size);
  } catch (const std::exception&) {
    return 0;
  }
}

unsigned int sym_engine::fileline(char* buffer, unsigned int size, unsigned int* line,
                                  unsigned long* displacement) {
  if (!buffer || size == 0 || !check()) return 0;
  try {
    std::string file;
    unsigned number = 0;
    std::uintptr_t offset = 0;
    bool found = false;
    {
      std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
      // Code without a line of its own (padding, compiler-made stubs) takes
      // the line of the code before it, but never one of another function.
      std::string function;
      std::uintptr_t into_function = kLineSearch - 1;
      krCore::detail::symbol_function(_address, &function, &into_function);
      const std::uintptr_t reach = std::min<std::uintptr_t>(
          {into_function, kLineSearch - 1, static_cast<std::uintptr_t>(_address)});
      for (std::uintptr_t back = 0; back <= reach && !found; ++back)
        found = krCore::detail::symbol_line(_address - back, &file, &number, &offset);
    }
    if (!found) return 0;
    if (line) *line = number;
    if (displacement) *displacement = offset;
    return copy_truncated(file, buffer, size);
  } catch (const std::exception&) {
    return 0;
  }
}

bool sym_engine::take_frame() {
  if (!_walk || !_initialised || _walk->next >= _walk->count) return false;
  const bool first = _walk->next == 0;
  const stack_frame frame = _walk->frames[_walk->next++];
  // The first frame of a call through a bad pointer (null, or code since
  // unloaded) is that pointer: an unknown frame, named as such, with the
  // caller's after it. Anywhere else an address outside every module ends
  // the walk.
  if (first && frame.exact) {
    _address = frame.pc;
    return true;
  }
  if (frame.pc == 0) return false;
  // A return address points after the call; the call itself is one byte
  // before it, and may be a function's last instruction.
  const std::uintptr_t at = frame.exact ? frame.pc : frame.pc - 1;
  try {
    std::string path;
    std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
    if (!krCore::detail::symbol_module_path(at, &path)) return false;
  } catch (const std::exception&) {
    return false;
  }
  _address = at;
  return true;
}

bool sym_engine::stack_first(CONTEXT* context) {
  CONTEXT registers;
  if (!context || !krCore::detail::safe_read(context, &registers, sizeof registers) || !check())
    return false;
  if (!_walk) {
    _walk = new (std::nothrow) walk_state;
    if (!_walk) return false;
  }
  _walk->count = _walk->next = 0;
  // A translated fault's record carries the program counters captured at the
  // fault, which are exact even where the registers no longer are.
  const void* captured[walk_state::kMaxFrames];
  const std::size_t n =
      krCore::detail::fault_frames_of_context(context, captured, walk_state::kMaxFrames);
  if (n > 0) {
    for (std::size_t i = 0; i < n; ++i)
      _walk->frames[i] = stack_frame{reinterpret_cast<std::uintptr_t>(captured[i]), i == 0};
    _walk->count = n;
  } else {
    std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
    _walk->count = krCore::detail::symbol_walk(registers, _walk->frames, walk_state::kMaxFrames);
  }
  _context = context;
  return take_frame();
}

bool sym_engine::stack_next() {
  if (!_context) return false;
  return take_frame();
}

KRCORE_NOINLINE bool sym_engine::stack_first_own(unsigned int callers_to_drop) {
  if (!check()) return false;
  if (!_walk) {
    _walk = new (std::nothrow) walk_state;
    if (!_walk) return false;
  }
  _walk->next = 0;
  _walk->count =
      krCore::detail::capture_own_stack(_walk->frames, walk_state::kMaxFrames, callers_to_drop + 1);
  return take_frame();
}

bool sym_engine::format_frames(std::ostream& os, unsigned int skip, const char* format) {
  os << std::dec;
  do {
    if (skip > 0) {
      --skip;
    } else {
      char file[kTextSize], name[kTextSize], mod[kTextSize];
      bool looked_up = false;
      bool has_file = false, has_name = false;
      unsigned line = 0;
      unsigned long line_disp = 0, name_disp = 0;
      auto look_up = [&] {
        if (looked_up) return;
        looked_up = true;
        has_file = fileline(file, kTextSize, &line, &line_disp) != 0;
        has_name = symbol(name, kTextSize, &name_disp) != 0;
      };
      for (const char* p = format; *p; ++p) {
        if (*p == '\n') {
          os << "\r\n";
          continue;
        }
        if (*p != '%') {
          os << *p;
          continue;
        }
        const char directive = p[1];
        if (directive == '\0') {
          os << '%';
          break;
        }
        ++p;
        // "%ld" and "%sd" are the displacements of "%l" and "%s".
        const bool displacement = (directive == 'l' || directive == 's') && p[1] == 'd';
        if (displacement) ++p;
        switch (directive) {
          case 'm':
            os << (module(mod, kTextSize) ? mod : "?.?");
            break;
          case 'f':
            look_up();
            os << (has_file ? file : " ");
            break;
          case 'l':
            look_up();
            displacement ? os << line_disp : os << line;
            break;
          case 's':
            look_up();
            displacement ? os << name_disp : os << (has_name ? name : "?()");
            break;
          case '%':
            os << '%';
            break;
          default:
            os << '%' << directive;
            break;
        }
      }
    }
    if (!os.good()) break;
  } while (take_frame());
  return true;
}

bool sym_engine::stack_trace(std::ostream& os, sym_engine& engine, CONTEXT* context,
                             unsigned int skip, const char* format) {
  if (!format || !engine.stack_first(context)) return false;
  return engine.format_frames(os, skip, format);
}

bool sym_engine::stack_trace(std::ostream& os, CONTEXT* context, unsigned int skip,
                             const char* format) {
  sym_engine engine(0);
  return stack_trace(os, engine, context, skip, format);
}

KRCORE_NOINLINE bool sym_engine::stack_trace(std::ostream& os, unsigned int skip,
                                                       const char* format) {
  if (!format) return false;
  sym_engine engine(0);
  // Frame 0 is this function: drop only stack_first_own's own frame.
  if (!engine.stack_first_own(0)) return false;
  const bool written = engine.format_frames(os, skip, format);
  KRCORE_KEEP_FRAME();
  return written;
}

// --- the guard of the process-wide symbol handler

sym_engine::guard& sym_engine::guard::instance() {
  static guard g;
  return g;
}

bool sym_engine::guard::init() {
  std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
  if (_count != 0) return _count != kGuardFailed;
  // A failed start is not retried: it would cost the same again at every
  // fault and fail the same way.
  _count = kGuardFailed;
  try {
    if (!krCore::detail::symbol_handler_open()) return false;
  } catch (const std::exception&) {
    krCore::detail::symbol_handler_close();
    return false;
  }
  _count = 1;
  return true;
}

bool sym_engine::guard::fail() const {
  std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
  return _count == kGuardFailed;
}

sym_engine::guard::~guard() {
  std::lock_guard<krCore::detail::library_mutex> lock(symbol_handler_lock());
  if (_count != 0 && _count != kGuardFailed && --_count == 0)
    krCore::detail::symbol_handler_close();
}
