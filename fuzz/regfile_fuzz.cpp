// Fuzz target: the .reg importer of krreg. The input is a file's bytes
// (UTF-16LE with its mark, or UTF-8). It reads, or is refused with
// std::runtime_error; what reads is written out again key by key (the
// deletions left out, as export never writes them) and must read back to
// the same keys and values.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "regfile.h"

namespace {

bool same(const krreg::reg_value& a, const krreg::reg_value& b) {
  return a.name == b.name && a.remove == b.remove && a.type == b.type && a.data == b.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<krreg::reg_key> keys;
  try {
    keys = krreg::parse_reg_text(krreg::decode_reg_file(bytes));
  } catch (const std::runtime_error&) {
    return 0;
  }

  std::vector<krreg::reg_key> kept;
  std::wstring text = std::wstring(krreg::kRegHeader) + L"\r\n\r\n";
  for (krreg::reg_key& key : keys) {
    if (key.remove) continue;
    std::erase_if(key.values, [](const krreg::reg_value& v) { return v.remove; });
    text += krreg::format_reg_key(key);
    kept.push_back(std::move(key));
  }
  std::vector<krreg::reg_key> reread;
  try {
    reread = krreg::parse_reg_text(krreg::decode_reg_file(krreg::encode_reg_file(text)));
  } catch (const std::runtime_error&) {
    std::abort();  // export wrote what import refuses
  }
  if (reread.size() != kept.size()) std::abort();
  for (std::size_t k = 0; k < kept.size(); ++k) {
    if (reread[k].path != kept[k].path || reread[k].remove ||
        reread[k].values.size() != kept[k].values.size())
      std::abort();
    for (std::size_t v = 0; v < kept[k].values.size(); ++v)
      if (!same(reread[k].values[v], kept[k].values[v])) std::abort();
  }
  return 0;
}
