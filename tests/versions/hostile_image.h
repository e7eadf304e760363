// Test support: PE images with a version resource, built byte by byte, so
// that a test can give the reader exactly the damage or the trick it wants
// (a string block typed binary, a resource that claims a gigabyte, a version
// resource under another name) without a toolchain.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace versiontest {

inline void put16(std::string& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& b, std::size_t at, std::uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}
inline void pad4(std::string& b) { b.resize((b.size() + 3) & ~std::size_t{3}, '\0'); }

// UTF-16LE bytes of `text`, without a terminator.
inline std::string utf16(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// One block of a version tree: header, key, value and children, each
// child on a 4-byte boundary. `value_length` is written as given (bytes for
// type 0, units for type 1), so a test can make it lie.
inline std::string node(std::u16string_view key, const std::string& value,
                        std::uint16_t value_length, std::uint16_t type,
                        const std::vector<std::string>& children = {}) {
  std::string b(6, '\0');
  b += utf16(key);
  b.append(2, '\0');
  pad4(b);
  b += value;
  for (const std::string& child : children) {
    pad4(b);
    b += child;
  }
  put16(b, 0, static_cast<std::uint32_t>(b.size()));
  put16(b, 2, value_length);
  put16(b, 4, type);
  return b;
}

// A version tree with file version 1.2.3.4, the translation 0409/04B0 and
// the given strings of that translation.
inline std::string version_block(const std::vector<std::string>& strings) {
  std::string fixed(52, '\0');
  put32(fixed, 0, 0xFEEF04BDu);
  put32(fixed, 4, 0x10000);
  put32(fixed, 8, 0x00010002);
  put32(fixed, 12, 0x00030004);
  const std::string table = node(u"040904B0", "", 0, 1, strings);
  return node(u"VS_VERSION_INFO", fixed, 52, 0,
              {node(u"StringFileInfo", "", 0, 1, {table}),
               node(u"VarFileInfo", "", 0, 1,
                    {node(u"Translation", std::string("\x09\x04\xB0\x04", 4), 4, 0)})});
}

// A 32-bit PE image whose one section holds a resource tree with `block` as
// the version resource named `id`. When `claimed` is not 0 the resource and
// its section claim that many bytes; the image then ends at the claimed end
// only when the caller extends the file (sparse_size gives that length).
struct pe_image {
  static constexpr std::uint32_t kRaw = 0x200, kRva = 0x1000, kBlockAt = 96;

  static std::string build(const std::string& block, std::uint32_t id = 1,
                           std::uint32_t claimed = 0) {
    const std::uint32_t size = claimed ? claimed : static_cast<std::uint32_t>(block.size());
    std::string f(kRaw, '\0');
    f[0] = 'M';
    f[1] = 'Z';
    put32(f, 0x3C, 0x40);
    std::memcpy(f.data() + 0x40, "PE\0\0", 4);
    put16(f, 0x44, 0x14C);  // i386
    put16(f, 0x46, 1);      // one section
    put16(f, 0x54, 0xE0);   // optional header size
    put16(f, 0x56, 0x0102);
    const std::size_t opt = 0x58;
    put16(f, opt, 0x10B);
    put32(f, opt + 92, 16);  // data directories
    put32(f, opt + 96 + 16, kRva);
    put32(f, opt + 96 + 20, kBlockAt + size);
    const std::size_t sec = opt + 0xE0;
    std::memcpy(f.data() + sec, ".rsrc", 5);
    put32(f, sec + 8, kBlockAt + size);
    put32(f, sec + 12, kRva);
    put32(f, sec + 16, kBlockAt + size);
    put32(f, sec + 20, kRaw);

    // Type 16 -> name `id` -> language 0x409 -> the data entry.
    std::string r(kBlockAt, '\0');
    put16(r, 14, 1);
    put32(r, 16, 16);
    put32(r, 20, 0x80000000u | 24);
    put16(r, 24 + 14, 1);
    put32(r, 40, id);
    put32(r, 44, 0x80000000u | 48);
    put16(r, 48 + 14, 1);
    put32(r, 64, 0x409);
    put32(r, 68, 72);
    put32(r, 72, kRva + kBlockAt);
    put32(r, 76, size);
    return f + r + block;
  }
  static std::uint64_t sparse_size(std::uint32_t claimed) {
    return std::uint64_t{kRaw} + kBlockAt + claimed;
  }
};

}  // namespace versiontest
