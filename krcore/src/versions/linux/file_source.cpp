// Image files on disk as byte sources: positioned reads through a small
// window, so that the few scattered structures of a header walk cost one
// read each at most and the file is never read whole. The file is opened
// through the untrusted-file helper: a FIFO or a device named as an image
// is answered at once and never read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"
#include "versions/image_reader.h"

namespace krCore::detail {
namespace {

class file_source final : public byte_source {
 public:
  file_source(unique_fd fd, std::uint64_t size) : _fd(std::move(fd)), _size(size) {}
  file_source(const file_source&) = delete;
  file_source& operator=(const file_source&) = delete;

  std::uint64_t size() const override { return _size; }

  bool read(std::uint64_t offset, void* out, std::size_t n) override {
    if (offset > _size || n > _size - offset) return false;
    if (offset >= _window_start && offset + n <= _window_start + _window_length) {
      std::memcpy(out, _window + (offset - _window_start), n);
      return true;
    }
    if (n > sizeof _window) return read_exact(offset, out, n);
    // Refill the window from `offset` on: the next structure is usually
    // just after this one.
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof _window, _size - offset));
    if (!read_exact(offset, _window, want)) {
      _window_length = 0;
      return false;
    }
    _window_start = offset;
    _window_length = want;
    std::memcpy(out, _window, n);
    return true;
  }

 private:
  bool read_exact(std::uint64_t offset, void* out, std::size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
      const ssize_t got = ::pread(_fd.get(), p, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // the file shrank under us, or an I/O error
      p += got;
      offset += static_cast<std::uint64_t>(got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  unique_fd _fd;
  std::uint64_t _size;
  std::uint64_t _window_start = 0;
  std::size_t _window_length = 0;
  unsigned char _window[4096];
};

}  // namespace

std::unique_ptr<byte_source> open_file_source(const std::wstring& path, unsigned long& error) {
  unique_fd fd;
  struct stat st {};
  const file_result opened =
      open_untrusted(AT_FDCWD, file_name_from_wide(path), file_kind::regular, final_link::follow, fd, st);
  if (!opened) {
    error = opened.code;
    // A folder holds no image and Windows answers it with 5; any other kind
    // (a FIFO, a socket, a device) with 1812, as for a file without the
    // structures of an image.
    if (error == kErrorInvalidData)
      error = S_ISDIR(st.st_mode) ? kErrorAccessDenied : kErrorResourceDataNotFound;
    return nullptr;
  }
  return std::make_unique<file_source>(std::move(fd), static_cast<std::uint64_t>(st.st_size));
}

}  // namespace krCore::detail
