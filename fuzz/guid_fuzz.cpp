// Fuzz target: GUID texts. Any text parses or is refused with 0x800401F3;
// IsGuid agrees with the parser; a parsed GUID printed in the braced form
// parses to the same value.
#include <krcore/foundation.h>
#include <krcore/sysutil.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i < size; ++i) text.push_back(static_cast<wchar_t>(data[i]));
  GUID guid{};
  const long result = krCore::GuidFromString(text, guid, false);
  constexpr long kInvalidClassString = static_cast<int>(0x800401F3u);
  if (result != 0 && result != kInvalidClassString) std::abort();
  if (krCore::IsGuid(text) != (result == 0)) std::abort();
  if (result != 0) return 0;
  wchar_t printed[40];
  std::swprintf(printed, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  GUID again{};
  if (krCore::Api_GuidFromString(printed, again, false) != 0 || !(again == guid)) std::abort();
  return 0;
}
