// Building a version resource (the VS_VERSIONINFO byte image) at compile
// time, so that a Linux executable can carry the same version block a
// Windows file does. qmcore_add_version_info (the package's CMake function)
// generates a source that builds one with this header and places it in the
// ELF section ".qmversion", where fileversion finds it.
//
// Header-only and dependency-free: everything here is constexpr, so the
// image is a constant in the object file and costs nothing at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace krCore::version_block {

// One named version string ("CompanyName", "ProductVersion", ...). Plain
// constant data, used at compile time: nothing to synchronise, no errors.
struct string_entry {
  std::u16string_view name;
  std::u16string_view value;
};

// One translation and its strings. Plain constant data, as string_entry
// (not synchronised, no errors); `strings` must outlive the build of the
// image.
struct translation {
  std::uint16_t language = 0x0409;  // US English
  std::uint16_t code_page = 1200;   // Unicode
  const string_entry* strings = nullptr;
  std::size_t string_count = 0;
};

// What a version resource says. Plain constant data, as string_entry (not
// synchronised, no errors).
struct description {
  std::uint16_t file_version[4] = {};
  std::uint16_t product_version[4] = {};
  const translation* translations = nullptr;
  std::size_t translation_count = 0;
  // False leaves out the "\VarFileInfo\Translation" table.
  bool translation_table = true;
  std::uint32_t file_flags = 0;
  std::uint32_t file_os = 0x00040004;  // the value Windows tools write
  std::uint32_t file_type = 1;         // an application
};

namespace detail {

// Writes the image into `out`, or only counts its bytes when `out` is null.
class writer {
 public:
  constexpr explicit writer(unsigned char* out) : _out(out) {}
  constexpr std::size_t size() const { return _pos; }

  constexpr void u16(std::uint32_t v) {
    byte(v & 0xFF);
    byte((v >> 8) & 0xFF);
  }
  constexpr void u32(std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  constexpr void text(std::u16string_view s) {
    for (char16_t c : s) u16(c);
    u16(0);
  }
  constexpr void align() {
    while (_pos % 4) byte(0);
  }
  // Starts a block (wLength is filled in by end); returns its start.
  constexpr std::size_t begin(std::u16string_view key, std::uint32_t value_length,
                              bool text_value) {
    align();
    const std::size_t start = _pos;
    u16(0);
    u16(value_length);
    u16(text_value ? 1 : 0);
    text(key);
    align();
    return start;
  }
  constexpr void end(std::size_t start) {
    const std::size_t length = _pos - start;
    if (_out) {
      _out[start] = static_cast<unsigned char>(length & 0xFF);
      _out[start + 1] = static_cast<unsigned char>((length >> 8) & 0xFF);
    }
  }

 private:
  constexpr void byte(std::uint32_t v) {
    if (_out) _out[_pos] = static_cast<unsigned char>(v);
    ++_pos;
  }
  unsigned char* _out;
  std::size_t _pos = 0;
};

constexpr std::uint32_t pack(const std::uint16_t (&v)[4], int half) {
  return half == 0 ? (std::uint32_t{v[0]} << 16 | v[1]) : (std::uint32_t{v[2]} << 16 | v[3]);
}

constexpr void write(writer& w, const description& d) {
  const std::size_t root = w.begin(u"VS_VERSION_INFO", 52, false);
  const std::uint32_t fixed[13] = {0xFEEF04BDu,
                                   0x00010000u,
                                   pack(d.file_version, 0),
                                   pack(d.file_version, 1),
                                   pack(d.product_version, 0),
                                   pack(d.product_version, 1),
                                   0x3Fu,
                                   d.file_flags,
                                   d.file_os,
                                   d.file_type,
                                   0,
                                   0,
                                   0};
  for (std::uint32_t v : fixed) w.u32(v);

  if (d.translation_count > 0) {
    const std::size_t sfi = w.begin(u"StringFileInfo", 0, true);
    for (std::size_t t = 0; t < d.translation_count; ++t) {
      const translation& tr = d.translations[t];
      // The table's key: language and code page as eight upper-case hex digits.
      char16_t key[8] = {};
      const std::uint32_t packed = std::uint32_t{tr.language} << 16 | tr.code_page;
      for (int i = 0; i < 8; ++i) key[i] = u"0123456789ABCDEF"[(packed >> (28 - 4 * i)) & 0xF];
      const std::size_t table = w.begin(std::u16string_view(key, 8), 0, true);
      for (std::size_t s = 0; s < tr.string_count; ++s) {
        const string_entry& e = tr.strings[s];
        const std::size_t str =
            w.begin(e.name, static_cast<std::uint32_t>(e.value.size() + 1), true);
        w.text(e.value);
        w.end(str);
      }
      w.end(table);
    }
    w.end(sfi);
  }
  if (d.translation_table && d.translation_count > 0) {
    const std::size_t vfi = w.begin(u"VarFileInfo", 0, true);
    const std::size_t var =
        w.begin(u"Translation", static_cast<std::uint32_t>(4 * d.translation_count), false);
    for (std::size_t t = 0; t < d.translation_count; ++t)
      w.u32(std::uint32_t{d.translations[t].code_page} << 16 | d.translations[t].language);
    w.end(var);
    w.end(vfi);
  }
  w.end(root);
}

}  // namespace detail

// The number of bytes the image of `d` takes.
constexpr std::size_t size(const description& d) {
  detail::writer w(nullptr);
  detail::write(w, d);
  return w.size();
}

// The image of `d`; N must be size(d).
template <std::size_t N>
constexpr std::array<unsigned char, N> build(const description& d) {
  std::array<unsigned char, N> image{};
  detail::writer w(image.data());
  detail::write(w, d);
  return image;
}

}  // namespace krCore::version_block
