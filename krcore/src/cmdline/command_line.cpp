// CommandLineArgs: the process's own arguments, or a text split as the
// system splits command lines, as named parameters and switches.
#include <krcore/cmdline.h>
#include <krcore/foundation.h>

#include <boost/lexical_cast.hpp>

#include <cstdint>
#include <locale>

#include "cmdline/process_arguments.h"
#include "foundation/errors.h"
#include "logging/debug_output.h"

namespace krCore {
namespace {

std::wstring lower(std::wstring text) {
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
  for (wchar_t& c : text) c = ctype.tolower(c);
  return text;
}

std::wstring trimmed(const std::wstring& text) {
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
  std::size_t begin = 0, end = text.size();
  while (begin < end && ctype.is(std::ctype_base::space, text[begin])) ++begin;
  while (end > begin && ctype.is(std::ctype_base::space, text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Each progress message is one text of its own on the debugger channel.
void progress(const std::wstring& text) {
  if (detail::debug_output_active()) detail::debug_output(text + L"\r\n");
}

}  // namespace

CommandLineArgs::CommandLineArgs() = default;
CommandLineArgs::CommandLineArgs(int argc, wchar_t* const argv[]) {
  CommandLineArgs::ParseCommandLine(argc, argv);
}
CommandLineArgs::CommandLineArgs(const CommandLineArgs&) = default;
CommandLineArgs& CommandLineArgs::operator=(const CommandLineArgs&) = default;
CommandLineArgs::~CommandLineArgs() = default;

bool CommandLineArgs::ParseCommandLine() {
  // The kernel's argument list is handed over as it is: joining it into a
  // text and splitting that again could only lose something.
  std::vector<std::wstring> args;
  if (!detail::process_arguments(args)) return false;
  std::vector<wchar_t*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(args.size()), argv.data());
}

bool CommandLineArgs::ParseCommandLine(const wchar_t* commandLine) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
  if (!argv) return false;
  auto_localfree release(argv);
  return ParseCommandLine(argc, argv);
}

bool CommandLineArgs::ParseCommandLine(int argc, wchar_t* const argv[]) {
  if (argc <= 0) return false;
  _parsedParameters.clear();
  _unparsedParameters.clear();
  _modulePath = trimmed(argv[0] ? argv[0] : L"");
  progress(L"CommandLineArgs - begin parse of command line for " + _modulePath);

  bool parsed = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i] ? argv[i] : L"";
    const std::size_t equals = arg.find(L'=');
    if (equals != std::wstring::npos) {
      const std::wstring name = lower(arg.substr(0, equals));
      const std::wstring value = arg.substr(equals + 1);
      _parsedParameters[name] = value;
      parsed = true;
      progress(L"CommandLineArgs - parsed parameter [" + name + L"] with value = [" + value + L"]");
    } else if (!arg.empty() && (arg[0] == L'/' || arg[0] == L'-')) {
      const std::wstring name = lower(arg.substr(1));
      _parsedParameters[name] = L"true";
      parsed = true;
      progress(L"CommandLineArgs - parsed parameter [" + arg + L"] as [" + name +
               L"] with value = [true]");
    } else {
      _unparsedParameters.push_back(arg);
      progress(L"CommandLineArgs - couldn't parse parameter [" + arg + L"]");
    }
  }
  progress(L"CommandLineArgs - parsed " + std::to_wstring(_parsedParameters.size()) +
           L" parameters, and couldn't parse " + std::to_wstring(_unparsedParameters.size()) +
           L" parameters.");
  return parsed;
}

bool CommandLineArgs::Exist(std::wstring name) const {
  return _parsedParameters.count(lower(std::move(name))) != 0;
}

std::wstring CommandLineArgs::FindParameter(std::wstring name) const {
  const auto it = _parsedParameters.find(lower(std::move(name)));
  return it == _parsedParameters.end() ? std::wstring() : it->second;
}

bool CommandLineArgs::FindParameterAsBool(std::wstring name, bool defaultValue) const {
  const std::wstring value = lower(FindParameter(std::move(name)));
  if (value.empty()) return defaultValue;
  if (value == L"true" || value == L"yes" || value == L"1") return true;
  if (value == L"false" || value == L"no" || value == L"0") return false;
  return defaultValue;
}

long CommandLineArgs::FindParameterAsLong(std::wstring name, long defaultValue) const {
  const std::wstring value = FindParameter(std::move(name));
  if (value.empty()) return defaultValue;
  // The agent's numbers are 32-bit: a value beyond that range is malformed.
  return boost::lexical_cast<std::int32_t>(value);
}

}  // namespace krCore
