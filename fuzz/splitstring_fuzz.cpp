// Fuzz target: splitstring. The first byte says how many of the following
// characters are delimiters. No element is empty or holds a delimiter, and
// the elements joined give the text without its delimiters.
#include <krcore/foundation.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t count = data[0] % 8;
  std::wstring delimiters, text;
  for (std::size_t i = 1; i < size; ++i)
    (i <= count ? delimiters : text).push_back(static_cast<wchar_t>(data[i]));
  const std::vector<std::wstring> parts = krCore::splitstring(text, delimiters);
  std::wstring joined, expected;
  for (const std::wstring& part : parts) {
    if (part.empty() || part.find_first_of(delimiters) != std::wstring::npos) std::abort();
    joined += part;
  }
  for (const wchar_t c : text)
    if (delimiters.find(c) == std::wstring::npos) expected.push_back(c);
  if (joined != expected) std::abort();
  return 0;
}
