// Fuzz target: the UTF-8 and wide conversions. Any bytes decode without
// fault, and the decoded text is a fixed point of encoding and decoding
// again; bytes that are valid UTF-8 come back unchanged. Any wide text (the
// input as 32-bit values) encodes, with '?' for what is not a scalar value.
#include <krcore/foundation.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring wide = krCore::convertstringtowstring(bytes);
  const std::string narrow = krCore::convertwstringtostring(wide);
  if (krCore::convertstringtowstring(narrow) != wide) std::abort();
  // Valid input: no replacement character appears that the input did not
  // spell, and the bytes come back.
  if (wide.find(L'\uFFFD') == std::wstring::npos && narrow != bytes) std::abort();

  std::wstring values;
  for (std::size_t i = 0; i + 3 < size; i += 4) {
    std::uint32_t v;
    std::memcpy(&v, data + i, 4);
    values.push_back(static_cast<wchar_t>(v));
  }
  const std::wstring round = krCore::convertstringtowstring(krCore::convertwstringtostring(values));
  if (round.size() != values.size()) std::abort();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto v = static_cast<std::uint32_t>(values[i]);
    const bool scalar = v < 0xD800 || (v > 0xDFFF && v <= 0x10FFFF);
    if (round[i] != (scalar ? values[i] : L'?')) std::abort();
  }
  return 0;
}
