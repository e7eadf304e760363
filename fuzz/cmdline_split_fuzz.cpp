// Fuzz target: the command-line splitter and its inverse quoting. Any text
// splits without fault, and splitting again the quoted form of its
// arguments gives the same arguments; any argument vector (the input cut at
// NUL bytes) survives quoting and splitting unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/splitting.h"
#include "foundation/utf.h"

using krCore::detail::quote_command_line;
using krCore::detail::split_command_line;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring text = krCore::detail::wide_from_utf8(bytes);

  const auto args = split_command_line(text);
  // An unquoted program name may hold a quote, which no quoting can carry.
  if (!args.empty() && args[0].find(L'"') == std::wstring::npos &&
      split_command_line(quote_command_line(args)) != args)
    std::abort();

  std::vector<std::wstring> vector;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(L'\0', start);
    vector.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  std::erase(vector[0], L'"');
  if (split_command_line(quote_command_line(vector)) != vector) std::abort();
  return 0;
}
