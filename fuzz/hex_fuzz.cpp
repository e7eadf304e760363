// Fuzz target: hexadecimal texts. Any bytes and any wide text survive their
// hexadecimal form; any text is read or refused with code 13, and a refused
// text appends nothing.
#include <krcore/foundation.h>
#include <krcore/sysutil.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  for (const bool upper : {false, true}) {
    std::vector<unsigned char> back;
    krCore::BytesFromHex(krCore::BytesToHex(data, static_cast<unsigned>(size), upper), back);
    if (back != bytes) std::abort();
  }
  // The bytes as UTF-16 units of a wide text (one unit per byte pair), up
  // to the first NUL, where the text form ends.
  std::wstring units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  bool has_surrogate = false;
  for (const wchar_t c : units) has_surrogate = has_surrogate || (c >= 0xD800 && c <= 0xDFFF);
  if (!has_surrogate && krCore::StringFromHex(krCore::StringToHex(units)) != units) std::abort();

  std::wstring text(bytes.begin(), bytes.end());
  std::vector<unsigned char> read{0x5A};
  try {
    krCore::BytesFromHex(text, read);
    if (read.size() != 1 + text.size() / 2) std::abort();
  } catch (const krException& e) {
    if (e.code() != 13 || read.size() != 1) std::abort();
  }
  return 0;
}
