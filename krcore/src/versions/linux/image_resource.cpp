// Locating the version resource of PE and ELF images: the PE headers, the
// section table and the three-level resource tree, or the ELF section
// table. Every value read from the image is bounds-checked, so a truncated
// or damaged file ends in an error code, never in a read outside it.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>

#include "foundation/errors.h"
#include "versions/image_reader.h"

namespace krCore::detail {
namespace {

constexpr unsigned long kMalformed = kErrorResourceDataNotFound;
constexpr unsigned long kNoResource = kErrorResourceTypeNotFound;

std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(u16(p)) | static_cast<std::uint32_t>(u16(p + 2)) << 16;
}
std::uint64_t u64(const unsigned char* p) {
  return static_cast<std::uint64_t>(u32(p)) | static_cast<std::uint64_t>(u32(p + 4)) << 32;
}

struct section {
  std::uint32_t virtual_address;
  std::uint32_t virtual_size;
  std::uint32_t raw_size;
  std::uint32_t raw_offset;
};

// The PE image's sections and its resource directory, and the walk of the
// resource tree inside the section that holds it.
class pe_reader {
 public:
  explicit pe_reader(byte_source& image) : _image(image) {}

  unsigned long locate(resource_location& where) {
    unsigned char dos[64];
    if (!_image.read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return kNoResource;
    const std::uint64_t pe = u32(dos + 0x3C);
    unsigned char nt[24];
    if (!_image.read(pe, nt, sizeof nt) || std::memcmp(nt, "PE\0\0", 4) != 0) return kNoResource;
    const std::uint16_t section_count = u16(nt + 6);
    const std::uint16_t optional_size = u16(nt + 20);

    // The optional header: its magic says where the data directories are.
    unsigned char opt[240] = {};
    if (optional_size < 2 || !_image.read(pe + 24, opt, std::min<std::size_t>(optional_size, 240)))
      return kMalformed;
    std::size_t dirs = 0;
    switch (u16(opt)) {
      case 0x10B:
        dirs = 96;
        break;
      case 0x20B:
        dirs = 112;
        break;
      default:
        return kMalformed;
    }
    if (optional_size < dirs) return kMalformed;
    const std::uint32_t dir_count = u32(opt + dirs - 4);
    if (dir_count <= 2 || optional_size < dirs + std::size_t{3} * 8) return kNoResource;
    const std::uint32_t rsrc_rva = u32(opt + dirs + 16);
    const std::uint32_t rsrc_size = u32(opt + dirs + 20);
    if (rsrc_rva == 0 || rsrc_size == 0) return kNoResource;

    if (section_count == 0 || section_count > 96) return kMalformed;
    _sections.resize(section_count);
    std::vector<unsigned char> table(std::size_t{section_count} * 40);
    if (!_image.read(pe + 24 + optional_size, table.data(), table.size())) return kMalformed;
    for (std::size_t i = 0; i < section_count; ++i) {
      const unsigned char* s = table.data() + i * 40;
      _sections[i] = {u32(s + 12), u32(s + 8), u32(s + 16), u32(s + 20)};
    }
    _root_rva = rsrc_rva;
    return walk(where);
  }

 private:
  // The file offset of `n` bytes at `rva`; false unless all of them lie in
  // one section's raw data and in the file.
  bool map(std::uint64_t rva, std::uint64_t n, std::uint64_t& offset) const {
    for (const section& s : _sections) {
      const std::uint64_t extent = std::max(s.virtual_size, s.raw_size);
      if (rva < s.virtual_address || rva - s.virtual_address >= extent) continue;
      const std::uint64_t inside = rva - s.virtual_address;
      if (inside + n > s.raw_size) return false;
      offset = std::uint64_t{s.raw_offset} + inside;
      return offset + n <= _image.size();
    }
    return false;
  }

  // One level of the tree: the directory at `dir` (an offset from the
  // resource root); picks an entry with `want` (in order of preference, -1
  // meaning "the first entry") and returns its target offset and whether it
  // is a subdirectory.
  unsigned long pick(std::uint32_t dir, std::initializer_list<long> want, bool need_dir,
                     std::uint32_t& target) {
    std::uint64_t at = 0;
    unsigned char header[16];
    if (!map(_root_rva + dir, 16, at) || !_image.read(at, header, 16)) return kMalformed;
    const std::uint32_t count = std::uint32_t{u16(header + 12)} + u16(header + 14);
    if (count == 0) return kNoResource;
    std::vector<unsigned char> entries(std::size_t{count} * 8);
    if (!map(_root_rva + dir + 16, entries.size(), at) ||
        !_image.read(at, entries.data(), entries.size()))
      return kMalformed;
    const unsigned char* chosen = nullptr;
    for (long id : want) {
      if (id < 0) {
        chosen = entries.data();
        break;
      }
      for (std::size_t i = 0; i < count && !chosen; ++i) {
        const std::uint32_t name = u32(entries.data() + i * 8);
        if ((name & 0x80000000u) == 0 && name == static_cast<std::uint32_t>(id))
          chosen = entries.data() + i * 8;
      }
      if (chosen) break;
    }
    if (!chosen) return kNoResource;
    const std::uint32_t to = u32(chosen + 4);
    if (((to & 0x80000000u) != 0) != need_dir) return kMalformed;
    target = to & 0x7FFFFFFFu;
    // A subdirectory that points back at or before its parent would loop.
    if (need_dir && target <= dir) return kMalformed;
    return 0;
  }

  unsigned long walk(resource_location& where) {
    std::uint32_t names = 0, languages = 0, data = 0;
    // An empty level, like a missing version type, means "no version
    // resource"; an entry of the wrong kind means a damaged tree.
    if (unsigned long rc = pick(0, {16}, true, names)) return rc;
    // Only the resource named 1 is the file's version resource; a version
    // resource under another name is some other block.
    if (unsigned long rc = pick(names, {1}, true, languages)) return rc;
    if (unsigned long rc = pick(languages, {0, 0x409, -1}, false, data)) return rc;
    std::uint64_t at = 0;
    unsigned char entry[16];
    if (!map(_root_rva + data, 16, at) || !_image.read(at, entry, 16)) return kMalformed;
    const std::uint32_t rva = u32(entry), size = u32(entry + 4);
    if (size == 0 || !map(rva, size, where.offset)) return kMalformed;
    where.size = std::min(size, kMaxVersionBlock);
    return 0;
  }

  byte_source& _image;
  std::vector<section> _sections;
  std::uint64_t _root_rva = 0;
};

// The ELF section table: finds the version section by name.
unsigned long locate_elf(byte_source& image, resource_location& where) {
  unsigned char h[64];
  if (!image.read(0, h, 52)) return kNoResource;
  const bool wide = h[4] == 2;
  if ((h[4] != 1 && !wide) || h[5] != 1) return kNoResource;  // 32/64-bit, little-endian
  if (wide && !image.read(0, h, 64)) return kMalformed;
  const std::uint64_t shoff = wide ? u64(h + 0x28) : u32(h + 0x20);
  const std::uint16_t entsize = u16(h + (wide ? 0x3A : 0x2E));
  std::uint32_t count = u16(h + (wide ? 0x3C : 0x30));
  std::uint32_t strndx = u16(h + (wide ? 0x3E : 0x32));
  const std::size_t need = wide ? 64 : 40;
  if (shoff == 0) return kNoResource;
  if (entsize < need) return kMalformed;

  struct shdr {
    std::uint32_t name, type, link;
    std::uint64_t offset, size;
  };
  auto header = [&](std::uint32_t i, shdr& s) {
    unsigned char b[64];
    if (!image.read(shoff + std::uint64_t{i} * entsize, b, need)) return false;
    s.name = u32(b);
    s.type = u32(b + 4);
    s.offset = wide ? u64(b + 0x18) : u32(b + 0x10);
    s.size = wide ? u64(b + 0x20) : u32(b + 0x14);
    s.link = u32(b + (wide ? 0x28 : 0x18));
    return true;
  };
  // Extended numbering: the real count and string-table index sit in the
  // first section header.
  auto inside = [&](std::uint64_t offset, std::uint64_t n) {
    return offset <= image.size() && n <= image.size() - offset;
  };
  shdr first{};
  if (!header(0, first)) return kMalformed;
  if (count == 0) count = static_cast<std::uint32_t>(std::min<std::uint64_t>(first.size, 1u << 16));
  if (strndx == 0xFFFF) strndx = first.link;
  shdr names{};
  if (strndx >= count || !header(strndx, names) || !inside(names.offset, names.size))
    return kMalformed;

  constexpr std::size_t name_length = sizeof kElfVersionSection;  // with its NUL
  for (std::uint32_t i = 1; i < count; ++i) {
    shdr s{};
    if (!header(i, s)) return kMalformed;
    if (s.name >= names.size || names.size - s.name < name_length) continue;
    char name[name_length];
    if (!image.read(names.offset + s.name, name, name_length)) return kMalformed;
    if (std::memcmp(name, kElfVersionSection, name_length) != 0) continue;
    constexpr std::uint32_t kNoBits = 8;
    if (s.type == kNoBits || s.size == 0 || s.size > 0xFFFFFFFFu || !inside(s.offset, s.size))
      return kMalformed;
    where.offset = s.offset;
    where.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(s.size, kMaxVersionBlock));
    return 0;
  }
  return kNoResource;
}

}  // namespace

bool memory_source::read(std::uint64_t offset, void* out, std::size_t n) {
  if (offset > _size || n > _size - offset) return false;
  std::memcpy(out, static_cast<const unsigned char*>(_data) + offset, n);
  return true;
}

unsigned long locate_version_resource(byte_source& image, resource_location& where) {
  unsigned char magic[4];
  if (!image.read(0, magic, 4)) return kNoResource;
  if (std::memcmp(magic,
                  "\x7f"
                  "ELF",
                  4) == 0)
    return locate_elf(image, where);
  return pe_reader(image).locate(where);
}

unsigned long read_version_resource(const std::wstring& path, std::uint32_t& size, void* data,
                                    std::uint32_t limit) {
  unsigned long error = 0;
  const auto image = open_file_source(path, error);
  if (!image) return error;
  resource_location where;
  if (unsigned long rc = locate_version_resource(*image, where)) return rc;
  size = where.size;
  if (data && !image->read(where.offset, data, std::min(limit, where.size))) return kMalformed;
  return 0;
}

unsigned long load_version_resource(const std::wstring& path, std::vector<unsigned char>& data,
                                    bool& located) {
  located = false;
  unsigned long error = 0;
  const auto image = open_file_source(path, error);
  if (!image) return error;
  resource_location where;
  if (unsigned long rc = locate_version_resource(*image, where)) return rc;
  located = true;
  try {
    data.assign(where.size, 0);
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
  return image->read(where.offset, data.data(), where.size) ? 0 : kMalformed;
}

}  // namespace krCore::detail
