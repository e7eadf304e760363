// Splitting a command-line text into arguments and quoting arguments into a
// text, by the Windows convention: white space separates, double quotes
// group, backslashes escape quotes only. Runs of quotes follow the system's
// own splitter exactly, which the documented rules leave open.
#include "cmdline/splitting.h"

#include <cstddef>

namespace krCore::detail {
namespace {

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> split_command_line(std::wstring_view text) {
  std::vector<std::wstring> args;
  if (text.empty()) return args;
  const std::size_t n = text.size();
  std::size_t i = 0;

  // The program name: no escapes, a quoted name ends at the next quote.
  std::wstring program;
  if (text[0] == L'"') {
    i = 1;
    while (i < n && text[i] != L'"') program += text[i++];
    if (i < n) ++i;  // the closing quote
  } else {
    while (i < n && !is_blank(text[i])) program += text[i++];
  }
  args.push_back(std::move(program));

  for (;;) {
    while (i < n && is_blank(text[i])) ++i;
    if (i == n) break;
    std::wstring arg;
    bool quoted = false;
    while (i < n) {
      const wchar_t c = text[i];
      if (c == L'\\') {
        std::size_t count = 0;
        while (i < n && text[i] == L'\\') ++count, ++i;
        if (i < n && text[i] == L'"') {
          arg.append(count / 2, L'\\');
          if (count % 2 == 1) {
            arg += L'"';
            ++i;
          }
          // An even run leaves the quote to group below.
        } else {
          arg.append(count, L'\\');
        }
      } else if (c == L'"') {
        // A run of quotes counts on from the open quote, if any: every
        // third one is a literal quote, and the run leaves the part open
        // only when one is left over. So inside quotes a doubled quote is
        // a literal quote that also ends the quoted part.
        int count = quoted ? 1 : 0;
        for (; i < n && text[i] == L'"'; ++i) {
          if (++count == 3) {
            arg += L'"';
            count = 0;
          }
        }
        quoted = count == 1;
      } else if (is_blank(c) && !quoted) {
        break;
      } else {
        arg += c;
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::wstring quote_command_line(const std::vector<std::wstring>& args) {
  std::wstring text;
  for (std::size_t a = 0; a < args.size(); ++a) {
    const std::wstring& arg = args[a];
    if (a == 0) {
      std::wstring name;
      for (wchar_t c : arg)
        if (c != L'"') name += c;
      // Unquoted, an empty name would take the next argument's place and
      // white space would end the name early.
      if (name.empty() || name.find_first_of(L" \t") != std::wstring::npos)
        text += L'"' + name + L'"';
      else
        text += name;
      continue;
    }
    text += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
      text += arg;  // backslashes without a following quote are literal
      continue;
    }
    text += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      if (c == L'"') {
        text.append(backslashes * 2 + 1, L'\\');
      } else {
        text.append(backslashes, L'\\');
      }
      backslashes = 0;
      text += c;
    }
    // Backslashes before the closing quote are doubled so it still closes.
    text.append(backslashes * 2, L'\\');
    text += L'"';
  }
  return text;
}

}  // namespace krCore::detail
