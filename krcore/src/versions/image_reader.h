// Internal: locating the version resource inside an executable image.
//
// The image formats (PE resource trees, ELF section tables) are parsed by
// portable code over a byte source, so the same parsers read files on disk
// and images held in memory. Every offset and size taken from the image is
// checked against the source before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// Random access to the bytes of an image.
class KRCORE_INTERNAL byte_source {
 public:
  virtual ~byte_source() = default;
  // The image's length in bytes.
  virtual std::uint64_t size() const = 0;
  // Copies `n` bytes at `offset`; false when they are not all inside the
  // image or cannot be read.
  virtual bool read(std::uint64_t offset, void* out, std::size_t n) = 0;
};

// An image held in memory (not owned; must outlive the source).
class KRCORE_INTERNAL memory_source final : public byte_source {
 public:
  memory_source(const void* data, std::size_t size) : _data(data), _size(size) {}
  std::uint64_t size() const override { return _size; }
  bool read(std::uint64_t offset, void* out, std::size_t n) override;

 private:
  const void* _data;
  std::size_t _size;
};

// The most of a version resource that is ever read: the root block's
// length is a 16-bit count, so bytes beyond it cannot belong to the block,
// whatever size the image claims for the resource.
inline constexpr std::uint32_t kMaxVersionBlock = 0xFFFF;

// Where a version resource lies in an image; `size` is at most
// kMaxVersionBlock.
struct resource_location {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

// Finds the version resource of a PE image (type 16, name 1; language
// neutral, then 0x409, then the first) or of an ELF image
// (the section named kElfVersionSection). Returns 0, 1813 when the image is
// of neither kind or has no version resource, 1812 when the structures on
// the way to it are malformed.
KRCORE_INTERNAL unsigned long locate_version_resource(byte_source& image, resource_location& where);

// The ELF section that carries a version block.
inline constexpr char kElfVersionSection[] = ".qmversion";

// Opens a file on disk as a byte source; null with the Win32 code of the
// failure in `error`. The platform half.
KRCORE_INTERNAL std::unique_ptr<byte_source> open_file_source(const std::wstring& path,
                                                              unsigned long& error);

// Reads the version resource of the file at `path`: its size, and when
// `data` is not null up to `limit` bytes of it into `data`. Returns 0 or
// the Win32 code of the failure.
KRCORE_INTERNAL unsigned long read_version_resource(const std::wstring& path, std::uint32_t& size,
                                                    void* data, std::uint32_t limit);

// Reads the whole version resource of the file at `path` into `data`,
// opening the file once. Returns 0 or the Win32 code of the failure;
// `located` tells whether the failure came after the resource was found
// (while reading its bytes).
KRCORE_INTERNAL unsigned long load_version_resource(const std::wstring& path,
                                                    std::vector<unsigned char>& data,
                                                    bool& located);

}  // namespace krCore::detail
