// Splits trace text into its lines for the trace tests.
#pragma once

#include <string>
#include <vector>

namespace tracetest {

// The lines of `text`, each ended by "\r\n" in the text; a rest without a
// line end is left out.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace tracetest
