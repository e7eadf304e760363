// Named objects: state blocks in System V shared-memory segments, found
// through name files in /dev/shm.
//
// A name is a small file that only its account can write: a header saying
// what the object is (kind, a semaphore's maximum, the segment's id, IPC
// namespace and creation time, the creating process, the file's own name).
// The state words live in a segment made with IPC_PRIVATE and marked for
// removal at once, so it goes with its last attachment; a segment's size is
// fixed, so no process can shrink the memory under another's feet the way
// it could truncate a file, and its owner and mode can be changed by its
// creator alone. Another account that may join an object writes the state
// words and nothing else: they are plain words (foundation/linux/block.h),
// and nothing that account can write is read as a pointer, size or kind.
//
// Open-file-description locks on the name file's first byte serve as a
// reference count that survives crashes: each holder keeps a shared lock for
// as long as it has the object open, and the kernel drops it when the holder
// closes or dies. An exclusive lock that succeeds means nobody holds the
// file: it is a leftover of ended processes and is removed, and a fresh file
// is made with O_CREAT|O_EXCL (never O_CREAT on a file that exists: under
// fs.protected_regular the kernel refuses that for another account's file in
// a sticky folder). The creator keeps its exclusive lock until the object is
// ready; openers wait for a shared lock, which they get only after the
// creator has downgraded. A name unlinked between open and lock is noticed
// by comparing the file with the name, and retried. A file held by others
// whose object cannot be attached is taken back under a lock of its own
// (kTakeBackLock), so only the first of its holders unlinks the name; a
// lock another account put there is never waited on (see take_back). A
// process that may own a named mutex also holds a shared lock on byte 1 +
// its pid, the kernel's word that the process still has the object (see
// process_holds).
//
// A fork child shares its parent's open file description and so its lock:
// closing a handle therefore closes the descriptor first and then asks with
// a fresh description whether anybody still holds the file, so a parent that
// exits never unlinks a name its child still holds.
//
// Accounts. Names live in one namespace per account, the way each logon has
// a local namespace of its own:
//   /dev/shm/qmcore.<name>         made by root, file mode 0644, segment mode
//                                  0666: every account may open, wait on and
//                                  signal it;
//   /dev/shm/qmcore~<uid>.<name>   made by account <uid>, file and segment
//                                  mode 0600: only that account; or at
//   /dev/shm/qmcore~<uid>~<n>.<name>  (n = 1..3) when another account has
//                                  planted files at the places before it.
// An account other than root first looks for root's object of the name and
// shares it when it exists (a tool joins its service's objects); otherwise it
// uses its own namespace. Root uses only its own, so an object that an
// account with fewer rights made is never shared with root. Files are opened
// without following links and checked by descriptor (a regular file, the
// account's, its exact mode, one link or a header naming it, the header's
// size) before anything in them is used. Whatever else holds a name in root's
// namespace (another account's file, a FIFO, a link, a folder) was planted
// there and root removes it; another account cannot remove a file planted in
// its namespace, and uses the next place instead (see open_own); with all
// four places planted its object of that name fails with 5. Leftovers of ended processes are removed when found: at a name's
// next open, and in the whole namespace at a process's first open there.
//
// IPC namespaces. A segment id means something only in the IPC namespace
// it was made in, while /dev/shm belongs to the mount namespace: processes
// can share the folder and not the ids (a service with a private IPC
// namespace, a container). The header therefore records the creator's IPC
// namespace (the device and inode of /proc/thread-self/ns/ipc); a process of
// another namespace never attaches the id of such a file, never removes it
// while it is held, and keeps its own object of the name under the name
// qualified with its namespace's inode, e.g. /dev/shm/qmcore@4026532201.<name>.
// Each namespace has one object of a name, at the plain name when that file
// is its own or free, else at the qualified one. A process that makes the
// plain file first looks (waiting for its maker) whether its namespace's
// object exists at the qualified name and joins that instead; one that makes
// the qualified file gives way when the plain file is its namespace's or is
// being made, so the two places never hold one namespace's objects at once.
// A process that cannot tell its namespace (no /proc) records 0; while
// either side's namespace is unknown, a file whose object cannot be attached
// counts as another namespace's, and one whose object can as the same. The
// segment's creation time is recorded and checked too, so an id reused
// meanwhile by the same account is not taken for the object.
//
// Names up to 260 characters are accepted. A name whose escaped form is too
// long for a file name is stored under the SHA-256 digest of its UTF-8 text;
// so is the escaped form in a file name that the header cannot hold.
//
// Within a process each name attaches once: a registry maps names to the live
// local object, so every handle to the name shares one attachment (a thread
// that moved to another IPC namespace too: its process's objects stay its).
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <krcore/foundation.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "foundation/kill_hold.h"
#include "foundation/utf.h"
#include "foundation/linux/block.h"
#include "foundation/linux/untrusted_file.h"

namespace krCore::detail {
namespace {

constexpr std::size_t kSegmentSize = 4096;
static_assert(sizeof(object_block) <= kSegmentSize);
constexpr std::size_t kMaxNameChars = 260;
// Longest escaped name kept readable: with the prefix and an account's uid
// it stays well inside the file system's 255 bytes.
constexpr std::size_t kMaxReadable = 200;
constexpr std::uint32_t kHeaderMagic = 0x6B726F63;  // "kroc"
constexpr off_t kProcessLockBase = 1;
// Held by the process that takes back a file naming no usable object, until
// it closes the file; past every process's byte.
constexpr off_t kTakeBackLock = off_t{1} << 40;

// A name file's whole content, written by the owning account alone. A
// header of an older layout has zeros where the namespace and time go.
struct name_header {
  std::uint32_t magic;
  std::uint32_t kind;
  std::uint32_t maximum;
  std::int32_t segment;  // the shmid, in the namespace below
  std::int32_t creator;  // the process that made the segment
  char file[212];        // the file's own name, NUL-padded
  std::uint64_t ipc_dev, ipc_ino;  // the creator's IPC namespace; 0: unknown
  std::int64_t created;            // the segment's shm_ctime; 0: unknown
};
static_assert(sizeof(name_header) == 256);
constexpr std::size_t kMaxFileName = sizeof(name_header::file) - 1;

// Internal results of opening one place (never returned to a caller): the
// file is a live object of another IPC namespace; another process is making
// an object at the place and the caller should look again.
constexpr unsigned long kOtherNamespace = 0x20000001;
constexpr unsigned long kBeingMade = 0x20000002;

// An IPC namespace: the device and inode of its /proc entry; 0, 0 unknown.
struct ipc_namespace {
  std::uint64_t dev = 0, ino = 0;
  bool known() const { return ino != 0; }
};

// The calling thread's IPC namespace (unshare and setns move a thread
// alone), or unknown without /proc.
ipc_namespace current_ipc_namespace() {
  struct stat st;
  if (::stat("/proc/thread-self/ns/ipc", &st) != 0 && ::stat("/proc/self/ns/ipc", &st) != 0)
    return {};
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

struct registry {
  library_mutex lock;
  std::unordered_map<std::string, waitable*> objects;
  bool swept_root = false, swept_own = false;  // leftovers removed once per process
};

// Never destroyed: named objects may be closed during static destruction.
registry& names() {
  static registry* r = new registry;
  return *r;
}

const char kHex[] = "0123456789ABCDEF";

// "%%" and the hexadecimal SHA-256 of `text`; empty when it cannot be taken.
std::string digest_key(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  std::string out = "%%";
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

// The name as a file-name part: its UTF-8 bytes with every byte outside
// [A-Za-z0-9._-] written as %XX, so '/' and '\' never reach the file system;
// a result too long for a file name becomes "%%" and the hexadecimal
// SHA-256 of the UTF-8 text ("%%" is never part of an escaped name). Empty
// for a name over 260 characters or one the digest cannot be taken of.
std::string name_key(const std::wstring& name) {
  if (name.size() > kMaxNameChars) return {};
  const std::string utf8 = utf8_from_wide(name);
  std::string out;
  for (unsigned char c : utf8) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.size() <= kMaxReadable) return out;
  return digest_key(utf8);
}

// The name file of `key` at place `slot` of account `uid`'s namespace,
// qualified with the IPC namespace `ipc` when it is given. An account other
// than root cannot remove what another account planted at its names, so its
// object of a name may live at one of kSlots places: the first that holds no
// plant. A file name the header cannot hold uses the digest of the key.
constexpr int kSlots = 4;
std::string file_name(uid_t uid, const std::string& key, int slot,
                      const ipc_namespace* ipc = nullptr) {
  std::string prefix = uid == 0 ? "qmcore" : "qmcore~" + std::to_string(uid);
  if (uid != 0 && slot != 0) prefix += "~" + std::to_string(slot);
  if (ipc) prefix += "@" + std::to_string(ipc->ino);
  prefix += ".";
  if (prefix.size() + key.size() <= kMaxFileName) return prefix + key;
  const std::string digest = digest_key(key);
  return prefix + (digest.empty() ? key : digest);
}

// Whether `file` is a name file of account `uid` (or planted where one goes).
bool in_namespace(const std::string& file, uid_t uid) {
  const auto starts = [&](const std::string& prefix) {
    return file.compare(0, prefix.size(), prefix) == 0;
  };
  if (uid == 0) return starts("qmcore.") || starts("qmcore@");
  return starts("qmcore~" + std::to_string(uid));
}

// /dev/shm, opened once; every name is reached relative to it.
int shm_dir() {
  static const int fd = ::open("/dev/shm", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

mode_t file_mode(uid_t owner) { return owner == 0 ? 0644 : 0600; }
mode_t segment_mode(uid_t owner) { return owner == 0 ? 0666 : 0600; }

bool ofd_lock(int fd, short type, bool wait, off_t start = 0) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  int r;
  do {
    r = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  } while (r != 0 && errno == EINTR && wait);
  return r == 0;
}

// The kind of lock (F_RDLCK, F_WRLCK, F_UNLCK for none) that an open file
// description other than `fd`'s holds on the byte at `start`; F_WRLCK when
// the kernel cannot tell.
short lock_elsewhere(int fd, off_t start) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &fl) != 0 ? static_cast<short>(F_WRLCK) : fl.l_type;
}

// True when an open file description other than `fd`'s holds a lock on the
// byte at `start`.
bool held_elsewhere(int fd, off_t start) { return lock_elsewhere(fd, start) != F_UNLCK; }

bool names_same_file(int fd, const std::string& file) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::fstatat(shm_dir(), file.c_str(), &b, AT_SYMLINK_NOFOLLOW) == 0 &&
         a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Unlinks the name `file` of the held file `fd`, whose object cannot be
// attached, unless the name has moved on to another file. One holder at a
// time takes it back, under a write lock on kTakeBackLock, which only a
// process of the owning account can take (it needs the file open for
// writing). The wait for a fellow taker is short and bounded, and a read
// lock there, which any account that may read the file can take, is never
// waited on: the name is then taken back without the lock.
void take_back(int fd, const std::string& file) {
  for (int round = 0; round < 200; ++round) {
    if (ofd_lock(fd, F_WRLCK, false, kTakeBackLock)) break;
    const short held = lock_elsewhere(fd, kTakeBackLock);
    if (held == F_RDLCK) break;
    if (held == F_WRLCK) {
      const struct timespec pause = {0, 1000000};  // a taker holds it for an unlink
      ::nanosleep(&pause, nullptr);
    }
  }
  if (names_same_file(fd, file)) ::unlinkat(shm_dir(), file.c_str(), 0);
}

// Opens `file` of this account for the exclusive lock, without following a
// link or blocking on a FIFO; invalid when it is not a regular file of ours.
unique_fd open_own_file(const std::string& file) {
  unique_fd fd(::openat(shm_dir(), file.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()))
    fd.reset();
  return fd;
}

// Unlinks `file` when it still is the file (dev, ino) and nobody holds it.
// A fresh open file description asks, so a lock this process shares with a
// fork child still counts as held. (dev, ino) 0: whatever file it is.
void unlink_if_unheld(const std::string& file, dev_t dev, ino_t ino) {
  const unique_fd fd = open_own_file(file);
  struct stat st;
  if (fd && ::fstat(fd.get(), &st) == 0 && (ino == 0 || (st.st_dev == dev && st.st_ino == ino)) &&
      ofd_lock(fd.get(), F_WRLCK, false) && names_same_file(fd.get(), file))
    ::unlinkat(shm_dir(), file.c_str(), 0);
}

// Removes what another account (or an old, writable layout) put at a name of
// root's: root may remove anything in the sticky folder. 0, or the Win32
// code (a folder with something in it is not emptied).
unsigned long remove_plant(const std::string& file, const struct stat& st) {
  if (::unlinkat(shm_dir(), file.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 ||
      errno == ENOENT)
    return 0;
  return kErrorAccessDenied;
}

// True when a name file may be what it says: a regular file of `owner` that
// nobody else can write.
bool owned_file(const struct stat& st, uid_t owner) {
  return S_ISREG(st.st_mode) && st.st_uid == owner;
}

// Removes this account's leftovers of ended processes, and in root's
// namespace what other accounts planted, everywhere in its namespace.
void sweep_namespace(uid_t me) {
  DIR* d = ::fdopendir(::openat(shm_dir(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    const std::string file = e->d_name;
    if (!in_namespace(file, me)) continue;
    struct stat st;
    if (::fstatat(shm_dir(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (owned_file(st, me)) unlink_if_unheld(file, 0, 0);
    else if (me == 0) remove_plant(file, st);
  }
  ::closedir(d);
}

class segment_storage : public block_storage {
 public:
  segment_storage(std::string key, std::string file, bool own, unique_fd fd, void* map,
                  const struct stat& st)
      : _key(std::move(key)), _file(std::move(file)), _own(own), _fd(std::move(fd)),
        _dev(st.st_dev), _ino(st.st_ino) {
    block = static_cast<object_block*>(map);
  }
  ~segment_storage() override {
    {
      std::lock_guard<library_mutex> guard(names().lock);
      auto it = names().objects.find(_key);
      if (it != names().objects.end() && it->second == owner) names().objects.erase(it);
    }
    ::shmdt(block);
    _fd.reset();
    _probe.reset();
    if (_own) unlink_if_unheld(_file, _dev, _ino);
  }

  pid_t announce_owner_process() override {
    if (_announced != 0 && _generation == fork_generation()) return _announced;
    const pid_t pid = ::getpid();
    _announced = ofd_lock(_fd.get(), F_RDLCK, false, kProcessLockBase + pid) ? pid : 0;
    _generation = fork_generation();
    // Without the lock others could not see this process live: 0 leaves
    // the owner to be judged by its thread alone, and the next take asks
    // again.
    return _announced;
  }

  // Asked through an open file description of our own that holds no locks,
  // so that this process's locks (and a fork parent's) count too.
  bool process_holds(pid_t pid) override {
    if (!_probe) {
      char path[48];
      std::snprintf(path, sizeof path, "/proc/self/fd/%d", _fd.get());
      _probe = unique_fd(::open(path, O_RDONLY | O_CLOEXEC));
      if (!_probe) return true;
    }
    return held_elsewhere(_probe.get(), kProcessLockBase + pid);
  }

  int fd() const { return _fd.get(); }
  waitable* owner = nullptr;

 private:
  std::string _key, _file;
  bool _own;  // our namespace's: the last closer removes the name
  unique_fd _fd, _probe;
  pid_t _announced = 0;  // this process, once it holds its lock
  unsigned _generation = 0;
  dev_t _dev;
  ino_t _ino;
};

HANDLE fail(unsigned long code) {
  SetLastError(code);
  return nullptr;
}

// What opening one namespace's object asks for and gives.
struct segment_request {
  named_args args = {};
  bool create = false;
  uid_t owner = 0;  // the account whose namespace it is; the file must be its
  std::string file;
  ipc_namespace ipc;  // the calling thread's
  // With `create`: the IPC namespace's other place of the name, looked at
  // before the object is made; `preferred`: `file` is the plain place, which
  // waits for a maker of the other and wins over it.
  std::string rival;
  bool preferred = false;
  bool wait = true;  // false: kBeingMade instead of waiting for a maker
  // Out: the locked name file, the attached segment and what it is.
  unique_fd fd;
  void* map = nullptr;
  bool exclusive = false;
  std::uint32_t maximum = 0;
  struct stat st = {};
};

// Makes the segment of a fresh name file `fd` (held exclusively) and writes
// the header. 0 or the Win32 code.
unsigned long make_segment(segment_request& r) {
  const int id = ::shmget(IPC_PRIVATE, kSegmentSize, IPC_CREAT | segment_mode(r.owner));
  // ENOSPC is the machine's count of segments (kernel.shmmni) used up,
  // perhaps by another account: a quota, not a full disk.
  if (id < 0) return errno == ENOSPC ? kErrorNotEnoughQuota : last_errno_as_win32();
  void* map = ::shmat(id, nullptr, 0);
  struct shmid_ds ds;
  unsigned long code = map == reinterpret_cast<void*>(-1) ? last_errno_as_win32() : 0;
  if (code == 0 && ::shmctl(id, IPC_STAT, &ds) != 0) code = last_errno_as_win32();
  ::shmctl(id, IPC_RMID, nullptr);  // goes with its last attachment
  if (code != 0) {
    if (map != reinterpret_cast<void*>(-1)) ::shmdt(map);
    return code;
  }
  auto* b = static_cast<object_block*>(map);
  b->word.store(r.args.initial);
  name_header h = {};
  h.magic = kHeaderMagic;
  h.kind = static_cast<std::uint32_t>(r.args.kind);
  h.maximum = r.args.maximum;
  h.segment = id;
  h.creator = ::getpid();
  std::strncpy(h.file, r.file.c_str(), sizeof h.file - 1);
  h.ipc_dev = r.ipc.dev;
  h.ipc_ino = r.ipc.ino;
  h.created = static_cast<std::int64_t>(ds.shm_ctime);
  if (::pwrite(r.fd.get(), &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) ||
      ::fchmod(r.fd.get(), file_mode(r.owner)) != 0 || ::fstat(r.fd.get(), &r.st) != 0) {
    const unsigned long err = last_errno_as_win32();
    ::shmdt(map);
    return err ? err : kErrorInvalidData;
  }
  r.map = map;
  r.maximum = r.args.maximum;
  return 0;
}

// Joins the object of a held name file: checks the file by descriptor, reads
// its header and attaches the segment it names after checking that too.
// 0; kErrorFileNotFound when the file names no usable object (a leftover,
// or not what a file of the account looks like); kOtherNamespace for an
// object of another IPC namespace, or one whose segment cannot be found
// while either side's namespace is unknown; 6 for another kind.
unsigned long join_segment(segment_request& r) {
  const int fd = r.fd.get();
  name_header h;
  struct stat& st = r.st;
  if (::fstat(fd, &st) != 0 || !owned_file(st, r.owner) || (st.st_mode & 07777) != file_mode(r.owner) ||
      st.st_size != static_cast<off_t>(sizeof h) ||
      ::pread(fd, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) || h.magic != kHeaderMagic ||
      (st.st_nlink != 1 && std::strncmp(h.file, r.file.c_str(), sizeof h.file) != 0))
    return kErrorFileNotFound;
  // The id is attached only in the namespace it was made in; when either
  // side cannot tell, a segment that is not the one made for the file says
  // nothing about the file, which is then not ours to take back.
  const bool both_known = h.ipc_ino != 0 && r.ipc.known();
  if (both_known && (h.ipc_ino != r.ipc.ino || h.ipc_dev != r.ipc.dev)) return kOtherNamespace;
  const unsigned long unusable = both_known ? kErrorFileNotFound : kOtherNamespace;
  if (h.kind != static_cast<std::uint32_t>(r.args.kind)) return kErrorInvalidHandle;
  if (!held_elsewhere(fd, 0)) return kErrorFileNotFound;  // its holders have ended
  void* map = ::shmat(h.segment, nullptr, 0);
  if (map == reinterpret_cast<void*>(-1)) return unusable;
  struct shmid_ds ds;
  if (::shmctl(h.segment, IPC_STAT, &ds) != 0 || ds.shm_segsz != kSegmentSize ||
      ds.shm_perm.uid != r.owner || ds.shm_perm.cuid != r.owner ||
      (ds.shm_perm.mode & 0777) != segment_mode(r.owner) || ds.shm_cpid != h.creator ||
      (h.created != 0 && static_cast<std::int64_t>(ds.shm_ctime) != h.created)) {
    ::shmdt(map);
    return unusable;
  }
  r.map = map;
  r.maximum = h.maximum;
  return 0;
}

unsigned long open_segment(segment_request& r);

// With `r` holding a fresh file exclusively: whether the object of its IPC
// namespace exists at `r.rival` (then `r` is given up and true returned with
// `code` 0 and `r` holding that object, or 6 when it is of another kind), or
// is being made there by a process that does not give way to `r` (see
// open_place; then `r` is given up too, `code` is kBeingMade and the caller
// looks again). False: go on making `r`.
bool give_way_to_rival(segment_request& r, unsigned long& code) {
  segment_request other;
  other.args = r.args;
  other.owner = r.owner;
  other.file = r.rival;
  other.ipc = r.ipc;
  other.wait = r.preferred;
  code = open_segment(other);
  if (code != 0 && code != kBeingMade && code != kErrorInvalidHandle) return false;
  if (names_same_file(r.fd.get(), r.file)) ::unlinkat(shm_dir(), r.file.c_str(), 0);
  r.fd.reset();
  r.exclusive = false;
  if (code != 0) return true;
  r.fd = std::move(other.fd);
  r.file = std::move(other.file);
  r.map = other.map;
  r.maximum = other.maximum;
  r.st = other.st;
  return true;
}

// Opens (and with `create`, makes) the object of `r.file`. 0, or the Win32
// code: 2 no such object, 5 a plant this account cannot remove, 6 the name
// belongs to another kind; or kOtherNamespace, or kBeingMade when `r.wait`
// is false and a maker holds the file.
unsigned long open_segment(segment_request& r) {
  const bool own = r.owner == ::geteuid();  // ours to make, write and remove
  const char* file = r.file.c_str();
  for (int attempt = 0; attempt < 64; ++attempt) {
    struct stat st;
    bool fresh = false;
    if (::fstatat(shm_dir(), file, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return last_errno_as_win32();
      if (!r.create || !own) return kErrorFileNotFound;
      // Nobody else may open it before it is ready (make_segment sets the
      // mode): another account holding it would keep us from the lock.
      r.fd = unique_fd(
          ::openat(shm_dir(), file, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!r.fd) {
        if (errno == EEXIST) continue;
        return last_errno_as_win32();
      }
      fresh = true;
    } else if (!owned_file(st, r.owner)) {
      if (!own) return kErrorFileNotFound;  // not that account's object
      if (r.owner != 0) return kErrorAccessDenied;
      if (const unsigned long code = remove_plant(r.file, st)) return code;
      continue;
    } else {
      r.fd = unique_fd(::openat(shm_dir(), file,
                                (own ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!r.fd) {
        if (errno == ENOENT || errno == ELOOP || errno == ENXIO) continue;  // replaced meanwhile
        return last_errno_as_win32();
      }
      // The name may have changed hands between the look and the open: a
      // file another account put there could hold a write lock that the
      // blocking lock below would wait on for ever.
      struct stat opened;
      if (::fstat(r.fd.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
          opened.st_ino != st.st_ino || !owned_file(opened, r.owner))
        continue;
    }
    const int fd = r.fd.get();
    r.exclusive = own && ofd_lock(fd, F_WRLCK, false);
    if (!r.exclusive && !ofd_lock(fd, F_RDLCK, r.wait)) {
      if (!r.wait && (errno == EAGAIN || errno == EACCES)) return kBeingMade;
      return last_errno_as_win32();
    }
    if (!names_same_file(fd, r.file)) continue;  // unlinked by a last closer meanwhile
    if (r.exclusive && !fresh) {  // nobody holds it: a leftover of ended processes
      ::unlinkat(shm_dir(), file, 0);
      continue;
    }
    if (r.exclusive) {
      unsigned long code = 0;
      if (!r.rival.empty() && give_way_to_rival(r, code)) return code;
      code = make_segment(r);
      // A name without its object would only be swept later: take it back
      // now, while the lock keeps everyone else off it.
      if (code != 0 && names_same_file(fd, r.file)) ::unlinkat(shm_dir(), file, 0);
      return code;
    }
    if (fresh) continue;  // a sweeper took it from under us
    const unsigned long code = join_segment(r);
    if (code != kErrorFileNotFound || !own) return code;
    // Our own file, but no usable object (a leftover someone still holds,
    // or a layout of another version): the name is taken back, by one
    // process at a time. Others may hold the file too and fail alike; one
    // that unlinked the name by name after another had already made a new
    // object there would take that live object's name.
    take_back(fd, r.file);
  }
  return kErrorInvalidHandle;
}

// Opens (and with `create`, makes) the object of `key` at place `slot` of
// account `r.owner` that belongs to the calling thread's IPC namespace: at
// the plain name, or the qualified one while the plain name holds another
// namespace's object. The plain place wins: its maker waits for a maker of
// the qualified one and joins what that made, while a maker of the qualified
// place gives way to the plain one's. 0 or the Win32 code: 2 no such object,
// 5 both places taken (by plants, or objects of other namespaces).
unsigned long open_place(segment_request& r, const std::string& key, int slot, bool create) {
  const std::string plain = file_name(r.owner, key, slot),
                    qualified = file_name(r.owner, key, slot, &r.ipc);
  r.create = create;
  for (int attempt = 0; attempt < 64; ++attempt) {
    // The plain place: joined when it is this namespace's, made when free.
    r.preferred = true;
    r.file = plain;
    r.rival = create ? qualified : std::string();
    r.fd.reset();
    unsigned long code = open_segment(r);
    if (code == kBeingMade) continue;
    if (code != kOtherNamespace && (code != kErrorFileNotFound || create)) return code;
    // The qualified place, while the plain one is another namespace's (or,
    // looking only, holds nothing of this one).
    r.preferred = false;
    r.file = qualified;
    r.rival = create ? plain : std::string();
    r.fd.reset();
    code = open_segment(r);
    if (code == kOtherNamespace) return kErrorAccessDenied;
    if (code != kBeingMade) return code;
  }
  return kErrorInvalidHandle;
}

// Opens (and with `create`, makes) this account's object of `key`: joins
// it at whichever place it exists, else makes it at the first place that
// holds no plant. 0 or the Win32 code; 5 when a plant holds every place.
unsigned long open_own(segment_request& r, const std::string& key, bool create) {
  const int slots = r.owner == 0 ? 1 : kSlots;  // root removes plants instead
  for (const bool making : {false, true}) {
    if (making && !create) break;
    if (!making && create && slots == 1) continue;  // one place: the making pass joins too
    for (int slot = 0; slot < slots; ++slot) {
      const unsigned long code = open_place(r, key, slot, making);
      if (code == 0 || (code != kErrorFileNotFound && code != kErrorAccessDenied)) return code;
      if (making && code == kErrorFileNotFound) return code;
    }
  }
  return create ? kErrorAccessDenied : kErrorFileNotFound;
}

}  // namespace

HANDLE open_named(const named_args& args, const std::wstring& name, bool create,
                  void (*on_created)(waitable*)) {
  const std::string key = name_key(name);
  if (key.empty()) return fail(206);  // ERROR_FILENAME_EXCED_RANGE
  if (shm_dir() < 0) return fail(last_errno_as_win32());

  registry& reg = names();
  std::unique_lock<library_mutex> guard(reg.lock);
  auto it = reg.objects.find(key);
  if (it != reg.objects.end()) {
    waitable* o = it->second;
    if (o->try_add_ref()) {
      guard.unlock();
      if (o->kind() != args.kind) {
        o->release();
        return fail(kErrorInvalidHandle);
      }
      HANDLE h = make_handle(o);
      return h ? (SetLastError(kErrorAlreadyExists), h) : fail(kErrorNotEnoughMemory);
    }
    reg.objects.erase(it);  // being destroyed: open the segment afresh
  }

  const uid_t me = ::geteuid();
  bool& swept = me == 0 ? reg.swept_root : reg.swept_own;
  if (!swept) {
    swept = true;
    sweep_namespace(me);
  }

  // Root's object of the name first, then the account's own namespace.
  segment_request r;
  r.args = args;
  r.owner = 0;
  r.ipc = current_ipc_namespace();
  unsigned long code = kErrorFileNotFound;
  if (me != 0) {
    code = open_place(r, key, 0, false);
    if (code != 0 && code != kErrorFileNotFound && code != kErrorAccessDenied) return fail(code);
  }
  if (code != 0) {
    r.owner = me;
    code = open_own(r, key, create);
    if (code != 0) return fail(code);
  }

  auto storage = std::make_unique<segment_storage>(key, r.file, r.owner == me, std::move(r.fd),
                                                   r.map, r.st);
  segment_storage* raw = storage.get();
  waitable* o = make_object(args.kind, r.maximum, true, std::move(storage));
  raw->owner = o;
  if (r.exclusive && on_created) on_created(o);
  if (r.exclusive) ofd_lock(raw->fd(), F_RDLCK, false);  // downgrade: let the others in
  reg.objects[key] = o;
  guard.unlock();
  HANDLE h = make_handle(o);
  if (!h) return fail(kErrorNotEnoughMemory);
  SetLastError(r.exclusive ? 0ul : static_cast<unsigned long>(kErrorAlreadyExists));
  return h;
}

}  // namespace krCore::detail
