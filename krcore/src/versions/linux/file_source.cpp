// Image files on disk as byte sources: positioned reads through a small
// window, so that the few scattered structures of a header walk cost one
// read each at most and the file is never read whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "versions/image_reader.h"

namespace krCore::detail {
namespace {

class file_source final : public byte_source {
 public:
  file_source(int fd, std::uint64_t size) : _fd(fd), _size(size) {}
  ~file_source() override { ::close(_fd); }
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
      const ssize_t got = ::pread(_fd, p, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // the file shrank under us, or an I/O error
      p += got;
      offset += static_cast<std::uint64_t>(got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  int _fd;
  std::uint64_t _size;
  std::uint64_t _window_start = 0;
  std::size_t _window_length = 0;
  unsigned char _window[4096];
};

}  // namespace

std::unique_ptr<byte_source> open_file_source(const std::wstring& path, unsigned long& error) {
  const int fd = ::open(utf8_from_wide(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = last_errno_as_win32();
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = last_errno_as_win32();
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    // A folder or device holds no image; Windows answers a folder with 5.
    ::close(fd);
    error = S_ISDIR(st.st_mode) ? kErrorAccessDenied : kErrorResourceTypeNotFound;
    return nullptr;
  }
  return std::make_unique<file_source>(fd, static_cast<std::uint64_t>(st.st_size));
}

}  // namespace krCore::detail
