// The crash-diagnostics family: fault translation into typed exceptions,
// exception analysis and reporting, call stacks and symbols, process fault
// settings.
#pragma once

#include <krcore/foundation.h>
#include <krcore/se_translator.h>

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Call stacks and symbols.
// ---------------------------------------------------------------------------

// Walks a thread's stack and resolves each address to module, function,
// source file and line, writing one formatted line per frame. On Linux a
// walk starts from the program counters captured when a fault was translated
// (when the CONTEXT is the one in a translated fault's record), from the
// registers of any other CONTEXT (unwound with the modules' call-frame
// information), or from the calling thread's own stack. Symbols come from
// the process's loaded modules (read again after a library is loaded) and
// their debugging information; a return address is looked up at the call
// before it. The process-wide symbol handler sits behind one lock, so
// engines may be used on any number of threads; one engine belongs to one
// thread at a time. Nothing here throws: failures are reported by the
// results (0 or false).
class KRCORE_API sym_engine {
 public:
  explicit sym_engine(unsigned int address);
  ~sym_engine();
  sym_engine(const sym_engine&) = delete;
  // Copies the address, the initialised flag and the context; each object
  // keeps its own walk state.
  sym_engine& operator=(const sym_engine& other);

  // Sets the code address that module/symbol/fileline describe.
  void address(unsigned long address);
  // The file name (no directory) of the module holding the address,
  // truncated to size - 1 characters; its length, or 0 on failure (no
  // buffer, size 0, no symbol handler, address in no module).
  unsigned int module(char* buffer, unsigned int size);
  // "name()" of the function holding the address (demangled, without its
  // parameter list), truncated to size - 1 characters; the offset into the
  // function goes to `displacement` when given. Its length, or 0 on failure.
  unsigned int symbol(char* buffer, unsigned int size, unsigned long* displacement = nullptr);
  // The source file of the address into `buffer` (truncated), its line into
  // `line` and the offset from the line's first instruction into
  // `displacement` (each when given); the length of the file name, or 0 on
  // failure. An address without a line of its own takes that of the nearest
  // code up to 99 bytes before it in the same function.
  unsigned int fileline(char* buffer, unsigned int size, unsigned int* line,
                        unsigned long* displacement = nullptr);

  // Starts a walk at `context` (the first frame is the context's own) and
  // sets the address to that frame; stack_next advances one frame. False
  // when the context is null or unreadable, there is no symbol handler, or
  // the walk cannot go on (the next frame lies in no module).
  bool stack_first(CONTEXT* context);
  bool stack_next();

  // Writes the stack described by `context`, leaving out `skip` frames, one
  // line per frame in `format` ("%f(%l) : %m at %s\n" by default): %m module,
  // %f source file, %l line, %ld line displacement, %s "function()", %sd
  // function displacement, %% a percent sign; any other "%x" is written as
  // it stands and a line feed as "\r\n". Unresolved parts print as "?.?",
  // " ", 0 and "?()". False when the format is null or no walk could start;
  // a skip beyond the stack's end prints nothing and is still true.
  static bool stack_trace(std::ostream& os, CONTEXT* context, unsigned int skip = 0,
                          const char* format = default_fmt());
  // The same for the calling thread's own stack: frame 0 is this function
  // itself, frame 1 its caller.
  static bool stack_trace(std::ostream& os, unsigned int skip = 0,
                          const char* format = default_fmt());
  // The formatter, with a caller-provided engine.
  static bool stack_trace(std::ostream& os, sym_engine& engine, CONTEXT* context, unsigned int skip,
                          const char* format);

  // Writes the system-information block (time, executable and user, system
  // version, processors, memory) to the debugger output and logs it at the
  // normal level.
  static void dumpsysteminformation();
  // Writes the system-information block and returns true; no dump file.
  static bool mini_dump(EXCEPTION_POINTERS* pointers);

  // The process-wide state of the symbol handler: initialised once, on first
  // need, never retried after a failure; released at process exit.
  // Thread-safe (under the handler's lock).
  class KRCORE_API guard {
   public:
    static guard& instance();
    // Initialises the handler if that was not tried yet; true when it is
    // available.
    bool init();
    // True when initialisation was tried and failed.
    bool fail() const;
    ~guard();

   private:
    guard() = default;
    unsigned long _count = 0;  // 0 not tried, 1 initialised, 0xFFFFFFFF failed
  };

 private:
  static const char* default_fmt();
  bool check();
  // Starts a walk over the calling thread's own stack, leaving out the
  // frames of this function and of `callers_to_drop` functions above it.
  bool stack_first_own(unsigned int callers_to_drop);
  // Makes the walk's current frame the engine's address; false at its end.
  bool take_frame();
  // Writes the frames of the walk already started, from the current one.
  bool format_frames(std::ostream& os, unsigned int skip, const char* format);

  std::uintptr_t _address;  // a whole code address, also where `long` is 32 bits
  bool _initialised = false;
  struct walk_state;
  walk_state* _walk = nullptr;
  CONTEXT* _context = nullptr;
};

namespace krCore {

// Fills `buffer` (260 wide characters) with the name a crash dump of this
// process is to have: executable path, ".", tick count, ".", process id,
// ".CRASH.DMP". Writes no file. Thread-safe; never throws; the name is cut
// to fit the buffer.
KRCORE_API void GenerateDumpFileName(wchar_t* buffer);

// ---------------------------------------------------------------------------
// Process fault settings.
// ---------------------------------------------------------------------------

// Applies the process-wide fault settings once. Linux has no error-dialog
// mode and no runtime hook that reports invalid arguments (glibc's fortify
// and assertion failures abort and must stay aborts), so the object records
// the error mode it stands for (0x8007) and keeps a process-wide handler
// pointer that SetInvalidParameterHandler swaps and close() restores;
// InvalidParameterHandler throws krException(0xC000000D) when called.
class KRCORE_API krProcessSettings {
 public:
  typedef void (*invalid_parameter_handler)(const wchar_t*, const wchar_t*, const wchar_t*,
                                            unsigned int, std::uintptr_t);

  // Creates the object on first call (thread-safe) and returns it.
  static krProcessSettings* instance();
  // Ends the object and reinstalls the handler it replaced; no-op without
  // an instance.
  static void close();
  // Throws krException with code 0xC000000D and the formatted text.
  [[noreturn]] static void InvalidParameterHandler(const wchar_t* expression,
                                                   const wchar_t* function, const wchar_t* file,
                                                   unsigned int line, std::uintptr_t reserved);
  // Installs `handler` for the process and returns the one it replaces.
  invalid_parameter_handler SetInvalidParameterHandler(invalid_parameter_handler handler);
  // The handler in force before this object installed its own.
  invalid_parameter_handler GetRuntimeInvalidParameterHandler() const;

 private:
  krProcessSettings();
  invalid_parameter_handler _previousHandler;
  unsigned int _previousErrorMode;
};

// ---------------------------------------------------------------------------
// Exception information and reporting.
// ---------------------------------------------------------------------------

// The guard and collector every worker thread creates at the top of its
// thread function: while it lives, hardware faults on the thread arrive as
// se_translator exceptions; Analyze, called inside a catch clause, records
// what was thrown (code, HRESULT, text, location), logs it, and for the worst
// cases reports to the system log or ends the process. Belongs to the thread
// that created it; no lock.
class KRCORE_API se_exception_initializer {
 public:
  // One recorded exception: the error text, the diagnostic context, and a
  // code (an HRESULT or platform error; never 0, which becomes 0x80004005).
  // An empty message is replaced by the system text of the code.
  class KRCORE_API se_exception_info {
   public:
    se_exception_info(long code, const std::wstring& context, const std::wstring& message);
    const std::wstring& message() const { return _message; }
    const std::wstring& context() const { return _context; }
    long code() const { return _code; }

   private:
    std::wstring _message;
    std::wstring _context;
    long _code;
  };

  typedef std::function<bool(se_exception_initializer&, const char*, int)> handler_type;

  se_exception_initializer();
  explicit se_exception_initializer(handler_type handler);
  se_exception_initializer(const se_exception_initializer& other);
  se_exception_initializer& operator=(const se_exception_initializer& other);
  virtual ~se_exception_initializer();

  void add(const se_exception_info& info);
  void add(const se_exception_info& info, bool log);
  unsigned int info_count() const;
  std::vector<se_exception_info> info() const;
  // 0 without entries; 1413 when index is out of range; else the entry's code.
  long get_hresult(unsigned long index) const;
  // All contexts in one text.
  std::wstring infostring();
  void clear();

  // Call only inside a catch clause: analyses the exception in flight and
  // returns. A write access violation instead ends the process at once with
  // exit code 0xC0000005 (a parent sees status 5), after its event-log entry
  // and a logger flush. Thread cancellation (abi::__forced_unwind) is not
  // analysed but rethrown, so the thread still ends.
  void Analyze(const char* file, int line);
  // Records an exception of unknown type.
  void AddUnknown(const char* file, int line);

 protected:
  static void LogEventMessage(se_translator::exception& e, const se_exception_info& info,
                              const std::wstring& text, bool flush);
  static void HandleNonContinuableExceptionFlag(se_translator::exception& e,
                                                const se_exception_info& info);

 private:
  handler_type _handler;
  se_translator _translator;
  std::vector<se_exception_info> _infos;
};

// Builds an entry from the three values and adds it with logging. On the
// initializer's own thread, as its members; throws only std::bad_alloc.
KRCORE_API void Add_se_exception_info(se_exception_initializer& initializer, unsigned long code,
                                      const std::wstring& context, const std::wstring& message);

}  // namespace krCore
