// The command-line family: the process's own command line, the splitting of
// a command-line text into arguments, and CommandLineArgs, which turns
// arguments into named parameters that programs query by name.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#include <map>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// The process's command line and its splitting (global namespace, with the
// names and results of the platform calls the agent's modules were written
// against).
// ---------------------------------------------------------------------------
#if !defined(_WIN32)
extern "C" {

// The process's own command line: its arguments as the kernel holds them,
// joined with the quoting that CommandLineToArgvW undoes, so splitting the
// text gives the arguments back (a program name containing '"' is the one
// thing that cannot survive, as on Windows). Built once per process; the
// text lives until the process ends and must not be modified. Thread-safe.
// Never null: an unreadable argument list gives the empty text.
KRCORE_API wchar_t* GetCommandLineW();

// Splits a command-line text into arguments by the Windows rules:
//  - the first argument is the program name: a name that starts with '"'
//    runs to the next '"' (backslashes are plain characters in it);
//    otherwise it runs to the first space or tab; white space at the very
//    start gives an empty program name;
//  - the other arguments are separated by runs of spaces and tabs; double
//    quotes group, inside a quoted part a doubled quote is one literal
//    quote; 2n backslashes before a quote give n backslashes and the quote
//    groups, 2n+1 give n backslashes and a literal quote; backslashes not
//    followed by a quote are literal.
// An empty (or null) text gives one argument, the executable's path.
// Returns one block holding the array of `*pNumArgs` pointers (followed by
// a null pointer) and the texts; the caller releases it with std::free (or
// an auto_localfree). Null `pNumArgs`: returns null with the last error 87;
// no memory: null with the last error 8. Thread-safe.
KRCORE_API wchar_t** CommandLineToArgvW(const wchar_t* lpCmdLine, int* pNumArgs);

}  // extern "C"
#endif  // !_WIN32

namespace krCore {

// A process's arguments as a dictionary of named parameters: name=value
// gives a named value, an argument that starts with '/' or '-' an on/off
// switch with the value "true", anything else is kept aside as unparsed.
// Names are lower-cased with the global locale; values keep their case.
// Progress goes to the debugger output channel, never to the log.
//
// Not thread-safe: parsing rebuilds the members in place, so an object that
// is parsed again must not be queried from another thread at the same time.
// Copyable value type.
class KRCORE_API CommandLineArgs {
 public:
  // Nothing parsed; all three collections empty.
  CommandLineArgs();
  // Parses at once with this class's own ParseCommandLine(argc, argv)
  // (not a derived class's: the object is not derived yet).
  CommandLineArgs(int argc, wchar_t* const argv[]);
  CommandLineArgs(const CommandLineArgs&);
  CommandLineArgs& operator=(const CommandLineArgs&);
  virtual ~CommandLineArgs();

  // Parses the process's own arguments (as the kernel holds them, handed
  // over without re-quoting). False when none could be read or none became
  // a parsed parameter.
  bool ParseCommandLine();
  // Splits `commandLine` with CommandLineToArgvW and parses the arguments.
  // False, with nothing changed, when the text cannot be split.
  bool ParseCommandLine(const wchar_t* commandLine);
  // Parses `argc` arguments; argv[0] is the program and becomes the module
  // path (trimmed of white space), never a parameter. argc 0: false and
  // nothing changes; otherwise earlier results are replaced. True when at
  // least one argument became a parsed parameter. Derived classes may
  // replace the parsing.
  virtual bool ParseCommandLine(int argc, wchar_t* const argv[]);

  // True when the lower-cased `name` is a parsed name.
  bool Exist(std::wstring name) const;
  // The value under the lower-cased `name`; empty when there is none.
  std::wstring FindParameter(std::wstring name) const;
  // The value read as a truth value: "true", "yes", "1" (any case) give
  // true; "false", "no", "0" give false; anything else, an absent name or
  // an empty value give `defaultValue`.
  bool FindParameterAsBool(std::wstring name, bool defaultValue) const;
  // The value read as a whole 32-bit signed decimal number; an absent name
  // or empty value gives `defaultValue`. Any other text throws
  // boost::bad_lexical_cast.
  long FindParameterAsLong(std::wstring name, long defaultValue) const;

  // The parsed parameters, by lower-case name.
  std::map<std::wstring, std::wstring>& ParsedParameters() { return _parsedParameters; }
  const std::map<std::wstring, std::wstring>& ParsedParameters() const { return _parsedParameters; }
  // The arguments that were neither name=value nor switches, in order.
  std::vector<std::wstring>& UnParsedParameters() { return _unparsedParameters; }
  const std::vector<std::wstring>& UnParsedParameters() const { return _unparsedParameters; }
  // The program argument, trimmed of white space at both ends.
  std::wstring ModulePath() const { return _modulePath; }

 private:
  std::vector<std::wstring> _unparsedParameters;
  std::map<std::wstring, std::wstring> _parsedParameters;
  std::wstring _modulePath;
};

}  // namespace krCore
