// Fuzz target: the settings store's value files, from memory. The store
// reads a value by opening its file without blocking, refusing any file that
// is not regular or is larger than the bound, and handing the bytes to
// parse_value_file; the file-level refusals do not depend on the text and
// are covered by the registry's unit tests, so each execution here costs the
// parser and the escaping only. The first byte picks the direction.
//  - Even: the rest is a value file's text. What parses must be written
//    back and read again to the same type and byte image.
//  - Odd: the second byte is a type and the rest a value's byte image. What
//    can be written must read back, and writing what was read gives the
//    same text; numbers and bytes read back to the very image written.
// Every input also goes through the file-name escaping, which must round
// trip, and the name comparisons, which must agree with each other.
#include <krcore/registry.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/utf.h"
#include "registry/value_file.h"

namespace reg = krCore::detail::reg;

namespace {

void text_first(std::string_view text) {
  DWORD type = 0;
  std::vector<BYTE> image;
  if (reg::parse_value_file(text, type, image) != 0) return;
  std::string written;
  if (reg::format_value_file(type, image.data(), image.size(), written) != 0) {
    // Only a value whose text outgrows the store's bound may not be written.
    if (text.size() < reg::kMaxValueFileBytes / 4) std::abort();
    return;
  }
  DWORD again = 0;
  std::vector<BYTE> reread;
  if (reg::parse_value_file(written, again, reread) != 0 || again != type || reread != image)
    std::abort();
}

void image_first(DWORD type, const BYTE* data, std::size_t size) {
  std::string written;
  if (reg::format_value_file(type, data, size, written) != 0) return;
  DWORD again = 0;
  std::vector<BYTE> image;
  if (reg::parse_value_file(written, again, image) != 0 || again != type) std::abort();
  std::string rewritten;
  if (reg::format_value_file(type, image.data(), image.size(), rewritten) != 0 ||
      rewritten != written)
    std::abort();
  const bool exact = type == REG_NONE || type == REG_BINARY || type == REG_DWORD || type == REG_QWORD;
  if (exact && image != std::vector<BYTE>(data, data + size)) std::abort();
}

void names(std::string_view bytes) {
  const std::wstring name = krCore::detail::wide_from_utf8(bytes);
  const std::string file = reg::escape_name(name);
  if (!name.empty() && (file.empty() || file[0] == '.' || file[0] == '@')) std::abort();
  if (file.find('/') != std::string::npos || file.find('\0') != std::string::npos) std::abort();
  std::wstring back;
  if (!reg::unescape_name(file, back) || back != name) std::abort();
  // Any text either unescapes or is refused; no fault.
  reg::unescape_name(bytes, back);

  const std::wstring other = krCore::detail::wide_from_utf8(bytes.substr(bytes.size() / 2));
  const std::wstring head = name.substr(0, other.size());
  const bool equal = reg::names_equal(head, other);
  if (equal != (!reg::names_less(head, other) && !reg::names_less(other, head))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    text_first(rest);
  } else {
    image_first(data[1] % 16, data + 2, size - 2);
  }
  names(rest);
  return 0;
}
