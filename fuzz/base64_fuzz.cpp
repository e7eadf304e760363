// Fuzz target: Base64. Any bytes encode, with and without line breaks, and
// decode back to themselves; any text decodes or fails with the alphabet's
// exception, and what it decodes to survives a second round trip.
#include <krcore/foundation.h>
#include <krcore/sysutil.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  for (const bool lineBreaks : {false, true}) {
    if (krCore::FromBase64(krCore::ToBase64Str(bytes, lineBreaks)) != bytes) std::abort();
    if (krCore::FromBase64(krCore::ToBase64WStr(bytes, lineBreaks)) != bytes) std::abort();
  }
  try {
    const std::vector<unsigned char> decoded =
        krCore::FromBase64(std::string(reinterpret_cast<const char*>(data), size));
    if (krCore::FromBase64(krCore::ToBase64Str(decoded)) != decoded) std::abort();
  } catch (const std::exception&) {
    // A character outside the alphabet: refused, nothing else happens.
  }
  return 0;
}
