// Fuzz target: the logger's include and exclude filters. The input is lines:
// the first is the log line, each further one a filter, "+" for include and
// anything else for exclude (the marker byte dropped). Bytes become
// characters one by one, so Latin-1 letters with case pairs occur. The
// verdict must agree with a plain search over case-folded copies, and a
// piece cut from the line with its case changed must always be found.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <locale>
#include <string>
#include <vector>

#include "logging/log_filter.h"

namespace {

std::wstring fold(const std::wstring& text) {
  const auto& facet = std::use_facet<std::ctype<wchar_t>>(std::locale());
  std::wstring out = text;
  for (wchar_t& c : out) c = facet.toupper(c);
  return out;
}

bool any_in(const std::wstring& folded, const std::vector<std::wstring>& filters) {
  for (const std::wstring& f : filters)
    if (folded.find(fold(f)) != std::wstring::npos) return true;
  return false;
}

std::wstring swap_case(std::wstring text) {
  const auto& facet = std::use_facet<std::ctype<wchar_t>>(std::locale());
  for (wchar_t& c : text) {
    const wchar_t upper = facet.toupper(c);
    c = upper != c ? upper : facet.tolower(c);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The agent runs under a UTF-8 locale: folding then reaches beyond ASCII.
  try {
    std::locale::global(std::locale("C.UTF-8"));
  } catch (const std::runtime_error&) {
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::wstring> pieces(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n')
      pieces.emplace_back();
    else
      pieces.back().push_back(static_cast<wchar_t>(data[i]));
  }
  const std::wstring line = pieces[0];
  std::vector<std::wstring> include, exclude;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    (pieces[i][0] == L'+' ? include : exclude).push_back(pieces[i].substr(1));
  }

  const std::wstring folded = fold(line);
  const bool expected =
      (include.empty() || any_in(folded, include)) && !any_in(folded, exclude);
  if (krCore::detail::filters_admit(line, include, exclude) != expected) std::abort();

  if (!line.empty()) {
    const std::size_t at = size % line.size();
    const std::wstring piece = swap_case(line.substr(at, 1 + size % 7));
    if (!krCore::detail::filters_admit(line, {piece}, {})) std::abort();
    if (krCore::detail::filters_admit(line, {}, {piece})) std::abort();
  }
  return 0;
}
