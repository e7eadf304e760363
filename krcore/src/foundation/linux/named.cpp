// Named objects: state blocks in POSIX shared-memory segments.
//
// Every process that uses a name maps the same segment, /dev/shm/qmcore.<name>.
// Open-file-description locks on the segment's first byte serve as a
// reference count that survives crashes: each holder keeps a shared lock for
// as long as it has the segment open, and the kernel drops it when the holder
// closes or dies. So an exclusive lock that succeeds means nobody else holds
// the segment: the taker initialises it (or re-initialises one a dead process
// left behind), and the last closer unlinks the name. Openers that find the
// segment held wait for a shared lock, which they get only after the
// initialiser has downgraded its lock. A name unlinked between shm_open and
// the lock is noticed by comparing the file with the name, and retried.
//
// Within a process each name maps once: a registry maps names to the live
// local object, so every handle to the name shares one mapping and a mutex's
// robust-list entry stays valid while any handle is open.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <krcore/foundation.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "foundation/linux/block.h"

namespace krCore::detail {
namespace {

constexpr std::size_t kSegmentSize = 4096;
static_assert(sizeof(object_block) <= kSegmentSize);

struct registry {
  std::mutex lock;
  std::unordered_map<std::string, waitable*> objects;
};

// Never destroyed: named objects may be closed during static destruction.
registry& names() {
  static registry* r = new registry;
  return *r;
}

// "/qmcore." followed by the name in UTF-8, with every byte outside
// [A-Za-z0-9._-] written as %XX, so '/' and '\' never reach the file system.
std::string segment_name(const std::wstring& name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "/qmcore.";
  for (unsigned char c : utf8_from_wide(name)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out.size() > 250 ? std::string() : out;
}

bool ofd_lock(int fd, short type, bool wait) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  int r;
  do {
    r = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  } while (r != 0 && errno == EINTR && wait);
  return r == 0;
}

class segment_storage : public block_storage {
 public:
  segment_storage(std::string name, int fd, void* map)
      : _name(std::move(name)), _fd(fd) {
    block = static_cast<object_block*>(map);
  }
  ~segment_storage() override {
    {
      std::lock_guard<std::mutex> guard(names().lock);
      auto it = names().objects.find(_name);
      if (it != names().objects.end() && it->second == owner) names().objects.erase(it);
    }
    ::munmap(block, kSegmentSize);
    // The last holder removes the name.
    if (ofd_lock(_fd, F_WRLCK, false)) ::shm_unlink(_name.c_str());
    ::close(_fd);
  }
  waitable* owner = nullptr;

 private:
  std::string _name;
  int _fd;
};

bool names_same_file(int fd, const std::string& name) {
  struct stat a, b;
  const std::string path = "/dev/shm" + name;
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
         a.st_dev == b.st_dev;
}

void* map_segment(int fd) {
  void* p = ::mmap(nullptr, kSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

HANDLE fail(unsigned long code, int fd = -1) {
  if (fd >= 0) ::close(fd);
  SetLastError(code);
  return nullptr;
}

}  // namespace

HANDLE open_named(object_kind kind, const std::wstring& name, bool create,
                  void (*init)(object_block*, const void*), const void* init_arg,
                  void (*on_created)(waitable*)) {
  const std::string shm = segment_name(name);
  if (shm.empty()) return fail(206);  // ERROR_FILENAME_EXCED_RANGE

  registry& reg = names();
  std::unique_lock<std::mutex> guard(reg.lock);
  auto it = reg.objects.find(shm);
  if (it != reg.objects.end()) {
    waitable* o = it->second;
    if (o->try_add_ref()) {
      guard.unlock();
      if (o->kind() != kind) {
        o->release();
        return fail(kErrorInvalidHandle);
      }
      HANDLE h = make_handle(o);
      return h ? (SetLastError(kErrorAlreadyExists), h) : fail(kErrorNotEnoughMemory);
    }
    reg.objects.erase(it);  // being destroyed: open the segment afresh
  }

  for (int attempt = 0; attempt < 64; ++attempt) {
    const int fd = ::shm_open(shm.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0) return fail(last_errno_as_win32());
    const bool exclusive = ofd_lock(fd, F_WRLCK, false);
    if (!exclusive && !ofd_lock(fd, F_RDLCK, true)) return fail(last_errno_as_win32(), fd);
    if (!names_same_file(fd, shm)) {  // unlinked by a last closer meanwhile
      ::close(fd);
      continue;
    }
    if (exclusive && !create) {  // only a dead process's leftover: no object
      ::shm_unlink(shm.c_str());
      return fail(kErrorFileNotFound, fd);
    }
    if (exclusive && ::ftruncate(fd, kSegmentSize) != 0) return fail(last_errno_as_win32(), fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < kSegmentSize) {
      ::close(fd);  // a creator died before sizing it; take it over next round
      continue;
    }
    void* map = map_segment(fd);
    if (!map) return fail(last_errno_as_win32(), fd);
    auto* block = static_cast<object_block*>(map);
    if (exclusive) {
      std::memset(map, 0, sizeof(object_block));
      init(block, init_arg);
      block->magic = kBlockMagic;
    } else if (block->magic != kBlockMagic || block->kind != kind) {
      const bool torn = block->magic != kBlockMagic;
      ::munmap(map, kSegmentSize);
      ::close(fd);
      if (torn) continue;
      return fail(kErrorInvalidHandle);
    }
    auto storage = std::make_unique<segment_storage>(shm, fd, map);
    segment_storage* raw = storage.get();
    waitable* o = make_object(kind, std::move(storage));
    raw->owner = o;
    if (exclusive && on_created) on_created(o);
    if (exclusive) ofd_lock(fd, F_RDLCK, false);  // downgrade: let the others in
    reg.objects[shm] = o;
    guard.unlock();
    HANDLE h = make_handle(o);
    if (!h) return fail(kErrorNotEnoughMemory);
    SetLastError(exclusive ? 0ul : static_cast<unsigned long>(kErrorAlreadyExists));
    return h;
  }
  return fail(kErrorInvalidHandle);
}

}  // namespace krCore::detail
