// Fuzz target: the settings store's value files, as texts and as the files
// an administrator (or an intruder) leaves in a key's folder. The first
// byte picks the direction.
//  - Even: the rest is a value file's text. What parses must be written
//    back and read again to the same type and byte image. The text is also
//    read through the store from a real file whose kind the first byte's
//    upper bits pick: a regular file (most often), a FIFO holding the text
//    with its writer still open, a link to /dev/zero, a folder, or a sparse
//    file larger than any value that starts with the text. A regular file
//    reads exactly as the text parses (or 223 beyond the bound); every
//    other kind is refused (13, or 223 for the large one) without blocking
//    or reading it (libFuzzer's time-out would catch a hang).
//  - Odd: the second byte is a type and the rest a value's byte image. What
//    can be written must read back, and writing what was read gives the
//    same text; numbers and bytes read back to the very image written.
// Every input also goes through the file-name escaping, which must round
// trip, and the name comparisons, which must agree with each other.
#include <fcntl.h>
#include <krcore/registry.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/utf.h"
#include "registry/store.h"
#include "registry/value_file.h"

namespace reg = krCore::detail::reg;

namespace {

// The key folder the file kinds live in, made once per process (in memory
// when /dev/shm is there, so each input costs a few system calls only).
struct odd_files {
  std::string folder;
  reg::key_ptr key;
  int fifo_writer = -1;
  int text_writer = -1;   // @Text, rewritten for each input
  int large_writer = -1;  // @Large, sparse, beyond the bound
};

odd_files& files() {
  static odd_files f = [] {
    odd_files made;
    char pattern[] = "/dev/shm/qmcore-valuefuzz-XXXXXX";
    char fallback[] = "/tmp/qmcore-valuefuzz-XXXXXX";
    const char* root = ::mkdtemp(pattern) ? pattern : ::mkdtemp(fallback);
    if (!root) std::abort();
    static std::string made_root;
    made_root = root;
    // The FIFO, the link and the large file go when the run ends.
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made_root, ignored);
    });
    ::setenv("KRCORE_REGISTRY_ROOT", root, 1);
    if (reg::open_hive("HKLM", true, made.key) != 0) std::abort();
    made.folder = std::string(root) + "/HKLM/";
    if (::mkfifo((made.folder + "@Fifo").c_str(), 0600) != 0) std::abort();
    // Held open for writing, so the FIFO has a writer and data to offer.
    made.fifo_writer = ::open((made.folder + "@Fifo").c_str(), O_RDWR | O_NONBLOCK);
    made.text_writer = ::open((made.folder + "@Text").c_str(), O_WRONLY | O_CREAT, 0600);
    made.large_writer = ::open((made.folder + "@Large").c_str(), O_WRONLY | O_CREAT, 0600);
    if (made.fifo_writer < 0 || made.text_writer < 0 || made.large_writer < 0 ||
        ::ftruncate(made.large_writer, static_cast<off_t>(reg::kMaxValueFileBytes) + 1) != 0 ||
        ::symlink("/dev/zero", (made.folder + "@Zero").c_str()) != 0 ||
        ::mkdir((made.folder + "@Folder").c_str(), 0700) != 0)
      std::abort();
    return made;
  }();
  return f;
}

// Writes `text` at the start of the file behind `fd`; `exact` then cuts the
// file to the text's length.
void put_text(int fd, std::string_view text, bool exact) {
  if (!text.empty() && ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    std::abort();
  if (exact && ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) std::abort();
}

void through_a_file(unsigned kind, std::string_view text) {
  odd_files& f = files();
  DWORD type = 0;
  std::vector<BYTE> image;
  switch (kind) {
    case 4: {
      // What the FIFO held is drained first, so it never fills up.
      char sink[4096];
      while (::read(f.fifo_writer, sink, sizeof sink) > 0) {
      }
      (void)!::write(f.fifo_writer, text.data(), text.size());
      if (reg::read_value(*f.key, L"Fifo", type, image) != 13) std::abort();
      return;
    }
    case 5:
      if (reg::read_value(*f.key, L"Zero", type, image) != 13) std::abort();
      return;
    case 6:
      if (reg::read_value(*f.key, L"Folder", type, image) != 13) std::abort();
      return;
    case 7:
      if (text.size() <= reg::kMaxValueFileBytes) put_text(f.large_writer, text, false);
      if (reg::read_value(*f.key, L"Large", type, image) != 223) std::abort();
      return;
    default: {
      put_text(f.text_writer, text, true);
      const DWORD rc = reg::read_value(*f.key, L"Text", type, image);
      if (text.size() > reg::kMaxValueFileBytes) {
        if (rc != 223) std::abort();
        return;
      }
      DWORD parsed_type = 0;
      std::vector<BYTE> parsed;
      const DWORD expected = reg::parse_value_file(text, parsed_type, parsed);
      if (rc != expected || (rc == 0 && (type != parsed_type || image != parsed))) std::abort();
    }
  }
}

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
    through_a_file((data[0] >> 1) % 8, rest);
  } else {
    image_first(data[1] % 16, data + 2, size - 2);
  }
  names(rest);
  return 0;
}
