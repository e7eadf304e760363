// libFuzzer target: the management-query statement parser.
//
// The input's bytes are read as UTF-8 into a wide query text. The parser
// must never crash or read out of bounds, and what it accepts must survive a
// round trip: the statement rebuilt from the parsed parts in a canonical
// spelling parses to the same parts.
//
// Build and run (from the repository root):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined \
//     -Ikrcore/include -Ikrcore/src fuzz/wql_parse_fuzz.cpp \
//     krcore/src/processes/wql_parse.cpp -o build/wql_parse_fuzz
//   build/wql_parse_fuzz fuzz/corpus/wql_parse -max_total_time=60
#include <cstdint>
#include <cstdlib>
#include <string>

#include "processes/wql.h"

namespace {

std::wstring widen(const std::uint8_t* data, std::size_t size) {
  // Bytes become code points one by one; the parser only sees wide text, so
  // the exact decoding does not matter, only that every value can occur.
  std::wstring text;
  text.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    // Bytes above 0xF0 reach beyond the 16-bit range with the next byte.
    if (b >= 0xF0 && i + 1 < size)
      text += static_cast<wchar_t>(0x10000 + (b - 0xF0) * 0x1000 + data[++i]);
    else
      text += static_cast<wchar_t>(b);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  krCore::detail::wql_query query;
  if (krCore::detail::parse_wql(widen(data, size), query) != 0) return 0;
  std::wstring rebuilt = L"select ";
  if (query.all) {
    rebuilt += L"*";
  } else {
    for (std::size_t i = 0; i < query.properties.size(); ++i)
      rebuilt += (i ? L"," : L"") + query.properties[i];
  }
  rebuilt += L" from " + query.class_name;
  krCore::detail::wql_query again;
  if (krCore::detail::parse_wql(rebuilt, again) != 0 || again.all != query.all ||
      again.properties != query.properties || again.class_name != query.class_name)
    std::abort();
  return 0;
}
