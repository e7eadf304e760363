// Named objects: state blocks in POSIX shared-memory segments.
//
// Every process that uses a name maps the same segment. Open-file-description
// locks on the segment's first byte serve as a reference count that survives
// crashes: each holder keeps a shared lock for as long as it has the segment
// open, and the kernel drops it when the holder closes or dies. So an
// exclusive lock that succeeds means nobody else holds the segment: the taker
// initialises it (or re-initialises one a dead process left behind), and the
// last closer unlinks the name. Openers that find the segment held wait for a
// shared lock, which they get only after the initialiser has downgraded its
// lock. A name unlinked between shm_open and the lock is noticed by comparing
// the file with the name, and retried.
//
// A fork child shares its parent's open file description and so its lock:
// closing a handle therefore closes the descriptor first and then asks with
// a fresh description whether anybody still holds the segment, so a parent
// that exits never unlinks a name its child still holds.
//
// Accounts. Names live in one namespace per account, the way each logon has
// a local namespace of its own:
//   /dev/shm/qmcore.<name>         made by root, mode 0666: every account may
//                                  open, wait on and signal it;
//   /dev/shm/qmcore~<uid>.<name>   made by account <uid>, mode 0600: only
//                                  that account.
// An account other than root first looks for root's object of the name and
// shares it when it exists (a tool joins its service's objects); otherwise it
// uses its own namespace. Root uses only its own, so an object that an
// account with fewer rights made is never shared with root: a file in root's
// namespace that root does not own was planted there and is removed.
//
// Names up to 260 characters are accepted. A name whose escaped form is too
// long for a file name is stored under the SHA-256 digest of its UTF-8 text.
//
// Within a process each name maps once: a registry maps names to the live
// local object, so every handle to the name shares one mapping and a mutex's
// robust-list entry stays valid while any handle is open.
#include <fcntl.h>
#include <openssl/evp.h>
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
#include "foundation/kill_hold.h"
#include "foundation/utf.h"
#include "foundation/linux/block.h"

namespace krCore::detail {
namespace {

constexpr std::size_t kSegmentSize = 4096;
static_assert(sizeof(object_block) <= kSegmentSize);
constexpr std::size_t kMaxNameChars = 260;
// Longest escaped name kept readable: with the prefix and an account's uid
// it stays well inside the file system's 255 bytes.
constexpr std::size_t kMaxReadable = 200;

struct registry {
  library_mutex lock;
  std::unordered_map<std::string, waitable*> objects;
};

// Never destroyed: named objects may be closed during static destruction.
registry& names() {
  static registry* r = new registry;
  return *r;
}

// The name as a file-name part: its UTF-8 bytes with every byte outside
// [A-Za-z0-9._-] written as %XX, so '/' and '\' never reach the file system;
// a result too long for a file name becomes "%%" and the hexadecimal
// SHA-256 of the UTF-8 text ("%%" is never part of an escaped name). Empty
// for a name over 260 characters or one the digest cannot be taken of.
std::string name_key(const std::wstring& name) {
  static const char hex[] = "0123456789ABCDEF";
  if (name.size() > kMaxNameChars) return {};
  const std::string utf8 = utf8_from_wide(name);
  std::string out;
  for (unsigned char c : utf8) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (out.size() <= kMaxReadable) return out;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(utf8.data(), utf8.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  out = "%%";
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

// The segment of `key` in the namespace of account `uid`.
std::string segment_name(uid_t uid, const std::string& key) {
  return uid == 0 ? "/qmcore." + key : "/qmcore~" + std::to_string(uid) + "." + key;
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

// Unlinks `name` when it still is the file (dev, ino) and nobody holds it.
// A fresh open file description asks, so a lock this process shares with a
// fork child still counts as held.
void unlink_if_unheld(const std::string& name, dev_t dev, ino_t ino) {
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino && ofd_lock(fd, F_WRLCK, false))
    ::shm_unlink(name.c_str());
  ::close(fd);
}

class segment_storage : public block_storage {
 public:
  segment_storage(std::string key, std::string name, int fd, void* map, const struct stat& st)
      : _key(std::move(key)), _name(std::move(name)), _fd(fd), _dev(st.st_dev), _ino(st.st_ino) {
    block = static_cast<object_block*>(map);
  }
  ~segment_storage() override {
    {
      std::lock_guard<library_mutex> guard(names().lock);
      auto it = names().objects.find(_key);
      if (it != names().objects.end() && it->second == owner) names().objects.erase(it);
    }
    // A mapping holds the open file description, and with it the lock: a
    // block kept mapped gives its lock up explicitly. Otherwise the lock goes
    // with the last reference, which a fork child may share.
    if (keep_block) ofd_lock(_fd, F_UNLCK, false);
    else ::munmap(block, kSegmentSize);
    ::close(_fd);
    unlink_if_unheld(_name, _dev, _ino);
  }
  waitable* owner = nullptr;

 private:
  std::string _key, _name;
  int _fd;
  dev_t _dev;
  ino_t _ino;
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

unsigned long close_with(unsigned long code, int fd) {
  ::close(fd);
  return code;
}

HANDLE fail(unsigned long code) {
  SetLastError(code);
  return nullptr;
}

// What opening one namespace's segment asks for and gives.
struct segment_request {
  object_kind kind;
  bool create;
  uid_t owner;  // the account whose namespace it is; the file must be its
  void (*init)(object_block*, const void*);
  const void* init_arg;
  // Out: the open segment, mapped; `exclusive` when this call initialised it.
  int fd = -1;
  void* map = nullptr;
  bool exclusive = false;
  struct stat st = {};
};

// Opens (and with `create`, makes) the segment `shm`. 0, or the Win32 code:
// 2 no such object, 5 the file is not the account's or cannot be opened,
// 6 the name belongs to another kind or is not a segment file.
unsigned long open_segment(const std::string& shm, segment_request& r) {
  const mode_t mode = r.owner == 0 ? 0666 : 0600;
  for (int attempt = 0; attempt < 64; ++attempt) {
    const int fd = ::shm_open(shm.c_str(), O_RDWR | O_CLOEXEC | (r.create ? O_CREAT : 0), mode);
    if (fd < 0) return last_errno_as_win32();
    struct stat st;
    if (::fstat(fd, &st) != 0) return close_with(last_errno_as_win32(), fd);
    if (!S_ISREG(st.st_mode)) return close_with(kErrorInvalidHandle, fd);
    if (st.st_uid != r.owner) {
      // Another account's file in root's namespace was planted to be found
      // by root's service: root takes the name back. Anywhere else it is
      // not ours to share.
      if (r.owner == 0 && ::geteuid() == 0 && r.create) {
        ::shm_unlink(shm.c_str());
        ::close(fd);
        continue;
      }
      return close_with(r.create ? kErrorAccessDenied : kErrorFileNotFound, fd);
    }
    const bool exclusive = ofd_lock(fd, F_WRLCK, false);
    if (!exclusive && !ofd_lock(fd, F_RDLCK, true)) return close_with(last_errno_as_win32(), fd);
    if (!names_same_file(fd, shm)) {  // unlinked by a last closer meanwhile
      ::close(fd);
      continue;
    }
    if (exclusive && !r.create) {  // only a dead process's leftover: no object
      ::shm_unlink(shm.c_str());
      return close_with(kErrorFileNotFound, fd);
    }
    // The creation mode passed the umask; the model needs it exact.
    if (exclusive && (::ftruncate(fd, kSegmentSize) != 0 || ::fchmod(fd, mode) != 0))
      return close_with(last_errno_as_win32(), fd);
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < kSegmentSize) {
      ::close(fd);  // a creator died before sizing it; take it over next round
      continue;
    }
    void* map = map_segment(fd);
    if (!map) return close_with(last_errno_as_win32(), fd);
    auto* block = static_cast<object_block*>(map);
    if (exclusive) {
      std::memset(map, 0, sizeof(object_block));
      r.init(block, r.init_arg);
      block->magic = kBlockMagic;
    } else if (block->magic != kBlockMagic || block->kind != r.kind) {
      const bool torn = block->magic != kBlockMagic;
      ::munmap(map, kSegmentSize);
      ::close(fd);
      if (torn) continue;
      return kErrorInvalidHandle;
    }
    r.fd = fd;
    r.map = map;
    r.exclusive = exclusive;
    r.st = st;
    return 0;
  }
  return kErrorInvalidHandle;
}

}  // namespace

HANDLE open_named(object_kind kind, const std::wstring& name, bool create,
                  void (*init)(object_block*, const void*), const void* init_arg,
                  void (*on_created)(waitable*)) {
  const std::string key = name_key(name);
  if (key.empty()) return fail(206);  // ERROR_FILENAME_EXCED_RANGE

  registry& reg = names();
  std::unique_lock<library_mutex> guard(reg.lock);
  auto it = reg.objects.find(key);
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

  // Root's object of the name first, then the account's own namespace.
  const uid_t me = ::geteuid();
  segment_request r{kind, false, 0, init, init_arg};
  std::string shm = segment_name(0, key);
  unsigned long code = kErrorFileNotFound;
  if (me != 0) {
    code = open_segment(shm, r);
    if (code != 0 && code != kErrorFileNotFound && code != kErrorAccessDenied) return fail(code);
  }
  if (code != 0) {
    r.create = create;
    r.owner = me;
    shm = segment_name(me, key);
    code = open_segment(shm, r);
    if (code != 0) return fail(code);
  }

  auto storage = std::make_unique<segment_storage>(key, shm, r.fd, r.map, r.st);
  segment_storage* raw = storage.get();
  waitable* o = make_object(kind, std::move(storage));
  raw->owner = o;
  if (r.exclusive && on_created) on_created(o);
  if (r.exclusive) ofd_lock(r.fd, F_RDLCK, false);  // downgrade: let the others in
  reg.objects[key] = o;
  guard.unlock();
  HANDLE h = make_handle(o);
  if (!h) return fail(kErrorNotEnoughMemory);
  SetLastError(r.exclusive ? 0ul : static_cast<unsigned long>(kErrorAlreadyExists));
  return h;
}

}  // namespace krCore::detail
