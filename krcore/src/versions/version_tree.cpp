// The walk of a version image's block tree, bounded at every step by the
// enclosing block, so a damaged image can only fail a look-up.
#include "versions/version_tree.h"

namespace krCore::detail {
namespace {

std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

constexpr std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

struct block {
  std::size_t start = 0;  // offset of the block in the image
  std::size_t end = 0;    // one past its last byte
  std::size_t key = 0;    // offset of the key
  std::size_t key_units = 0;
  std::size_t value = 0;  // offset of the value
  std::uint32_t value_length = 0;
  bool text = false;
  std::size_t children = 0;  // offset of the first child
};

// Reads the block at `start` inside [start, limit); false when its header,
// key or length do not fit.
bool read_block(const unsigned char* image, std::size_t start, std::size_t limit, block& b) {
  if (start + 6 > limit) return false;
  const std::size_t length = u16(image + start);
  if (length < 6 || length > limit - start) return false;
  b.start = start;
  b.end = start + length;
  b.value_length = u16(image + start + 2);
  b.text = u16(image + start + 4) == 1;
  b.key = start + 6;
  std::size_t at = b.key;
  while (at + 2 <= b.end && u16(image + at) != 0) at += 2;
  if (at + 2 > b.end) return false;  // the key has no terminator inside the block
  b.key_units = (at - b.key) / 2;
  b.value = start + align4(at + 2 - start);
  std::size_t value_bytes = b.text ? std::size_t{b.value_length} * 2 : b.value_length;
  if (b.value > b.end) b.value = b.end;
  // A value that claims more than its block holds is cut at the block.
  if (value_bytes > b.end - b.value) {
    value_bytes = b.end - b.value;
    b.value_length = static_cast<std::uint32_t>(b.text ? value_bytes / 2 : value_bytes);
  }
  b.children = start + align4(b.value + value_bytes - start);
  return true;
}

// Keys are ASCII names; folding only ASCII letters keeps the comparison
// independent of the process's locale.
wchar_t fold(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

bool key_is(const unsigned char* image, const block& b, std::wstring_view name) {
  if (b.key_units != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (fold(u16(image + b.key + 2 * i)) != fold(name[i])) return false;
  return true;
}

}  // namespace

bool find_version_value(const unsigned char* image, std::size_t size, std::wstring_view path,
                        version_value& out) {
  block current;
  if (!image || !read_block(image, 0, size, current)) return false;
  std::size_t pos = 0;
  for (;;) {
    while (pos < path.size() && path[pos] == L'\\') ++pos;
    if (pos == path.size()) break;
    std::size_t stop = path.find(L'\\', pos);
    if (stop == std::wstring_view::npos) stop = path.size();
    const std::wstring_view name = path.substr(pos, stop - pos);
    pos = stop;

    bool found = false;
    for (std::size_t child = current.children; child + 6 <= current.end;) {
      block b;
      if (!read_block(image, child, current.end, b)) return false;
      if (key_is(image, b, name)) {
        current = b;
        found = true;
        break;
      }
      child = b.start + align4(b.end - b.start);
    }
    if (!found) return false;
  }
  out.data = image + current.value;
  out.length = current.value_length;
  out.text = current.text;
  return true;
}

std::u16string version_text(const version_value& value) {
  const std::size_t count = value.text ? value.length : value.length / 2;
  std::u16string units;
  for (std::size_t i = 0; i < count; ++i) {
    const char16_t u = static_cast<char16_t>(u16(value.data + 2 * i));
    if (u == 0) break;
    units += u;
  }
  return units;
}

}  // namespace krCore::detail
