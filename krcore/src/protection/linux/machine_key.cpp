// The machine key on Linux: 32 kernel random bytes in a file that only its
// owner can read and write, made by whichever process needs it first, and
// never made a second time. Other accounts use root's key through the key
// helper (key_helper.h) and never see its bytes.
//
// Linux has no machine-bound protection call, so the key file is the
// machine's secret. It is never derived from /etc/machine-id, which cloned
// images share. Creation races are settled by link(2): each contender writes
// a complete, synced temporary file and links it to the final name; exactly
// one link succeeds and the others read the winner's key.
//
// Losing the key loses every secret protected with it, so a key is made
// only where there has never been one: beside the key file, a marker
// (<key file>.made) records that a key was made there. A process that has
// the key loaded and finds the file gone writes it back from memory (with
// the owner and mode it had); a process without it fails with
// NTE_BAD_KEYSET and a diagnostic instead of making a new key. A key file
// that is replaced by another valid key is taken at once (the
// administrator's file wins over the memory). The file the key came from
// stays open, and its status is compared on every use (one fstat, which
// needs no path walk): removing or replacing the name drops the old
// inode's link count and so changes its change time, as does rewriting it
// in place, so no blob is ever made with a key the file no longer holds.
// Reading a blob that the loaded key made needs no look at the file (that
// key is the right one whatever the file holds now), which keeps the round
// trip at one system call. A key file is read only when it
// is a regular file (never a FIFO or a link), owned by root or by the
// running account and writable by no one else. The key and its derived
// material live in one locked page that core dumps leave out.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <krcore/exceptions.h>
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "foundation/process_calls.h"
#include "foundation/kill_hold.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"
#include "logging/debug_output.h"
#include "logging/loud_failure.h"
#include "protection/machine_key.h"

namespace krCore::detail {
namespace {

constexpr char kDefaultKeyFile[] = "/var/lib/krcore/machine.key";
constexpr char kMadeSuffix[] = ".made";
constexpr std::size_t kKeySize = 32;
constexpr mode_t kKeyMode = 0600;
constexpr mode_t kMarkerMode = 0644;
constexpr mode_t kDirMode = 0755;
constexpr unsigned long kNteBadKeyset = 0x80090016;

// What tells one version of the key file from another.
struct file_stamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtime_ns = 0;
  long long ctime_ns = 0;
  nlink_t links = 0;
  bool operator==(const file_stamp&) const = default;
};

file_stamp stamp_of(const struct stat& st) {
  file_stamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  s.ctime_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  s.links = st.st_nlink;
  return s;
}

unsigned long errno_code() { return last_errno_as_win32(); }

// One line on the debugger output naming the key file.
void report(const std::string& path, const std::string& what) {
  debug_output("machine key [" + path + "] " + what + "\n");
}

// The key and what is derived from it, in a page of their own.
struct loaded_key {
  key_material material;
  unsigned char raw[kKeySize];
};

// The loaded state. The page is locked so that it is never swapped out and
// marked so that core dumps leave it out; it lives as long as the process.
struct key_cache {
  library_mutex mutex;
  std::string path;
  bool path_set = false;
  bool loaded = false;
  // The key file the key came from, held open, and its status then.
  unique_fd file;
  file_stamp stamp;
  // Owner and mode of the file the key came from, for writing it back.
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = kKeyMode;
  loaded_key* key = nullptr;
};

// Never destroyed, so that a secret read during static destruction works;
// a child of fork never inherits its lock held.
key_cache& cache() { return lasting_across_fork<key_cache>(); }

loaded_key* locked_page() {
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t size = page > 0 ? static_cast<std::size_t>(page) : 4096;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // Best effort: a low RLIMIT_MEMLOCK or an old kernel only costs the extra
  // protection, not the key.
  (void)mlock(p, size);
  (void)madvise(p, size, MADV_DONTDUMP);
  return new (p) loaded_key{};
}

std::string default_path() {
  const char* env = library_setting("KRCORE_MACHINE_KEY_FILE");
  return env && *env ? std::string(env) : std::string(kDefaultKeyFile);
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
}

// True when `path` is the installed key, root's and readable by root alone,
// and this process is not root's: the key helper serves this account.
bool roots_alone(const std::string& path) {
  struct stat st {};
  return geteuid() != 0 && path == kDefaultKeyFile && lstat(path.c_str(), &st) == 0 &&
         S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) == 0;
}

// Reads the key of an existing file, refusing a file that is not a regular
// file owned by root or this account and writable by no one else (as ssh
// refuses a private key with loose modes). Returns 0, 2/3 when there is no
// file, 13 for a file that is not exactly a key, 1920 for a link, 5 for the
// wrong owner or mode, kKeyReadableByRootAlone for the installed key read
// by another account, or the system's code; every failure but a missing
// file and the installed key's is reported on the debugger output.
unsigned long read_key(const std::string& path, unsigned char (&key)[kKeySize], struct stat& st,
                       unique_fd& fd) {
  const file_result opened =
      open_untrusted(AT_FDCWD, path, file_kind::regular, final_link::refuse, fd, st);
  if (!opened) {
    if (opened.code == kErrorAccessDenied && roots_alone(path)) return kKeyReadableByRootAlone;
    if (opened.code != kErrorFileNotFound && opened.code != kErrorPathNotFound)
      debug_output("machine key " + opened.diagnostic + "\n");
    return opened.code;
  }
  char why[96];
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    std::snprintf(why, sizeof why, "is owned by account %u, not by root or this account; refused",
                  static_cast<unsigned>(st.st_uid));
    report(path, why);
    return kErrorAccessDenied;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(why, sizeof why, "is writable by other accounts (mode %04o); refused",
                  static_cast<unsigned>(st.st_mode & 07777));
    report(path, why);
    return kErrorAccessDenied;
  }
  if (st.st_size != static_cast<off_t>(kKeySize) || read_exact_at(fd.get(), key, kKeySize, 0) != 0) {
    report(path, "does not hold exactly a key of 32 bytes; refused");
    return kErrorInvalidData;
  }
  return 0;
}

// Makes the directory of the key file when it is missing (one level: the
// parent of a private directory is the administrator's business).
void ensure_directory(const std::string& path) {
  const std::string dir = directory_of(path);
  if (mkdir(dir.c_str(), kDirMode) == 0) {
    (void)chmod(dir.c_str(), kDirMode);
    // Root's, also when made by the key helper for another account.
    if (geteuid() == 0) (void)chown(dir.c_str(), 0, 0);
  }
}

// Records that a key was made at `path`; best effort (an account that may
// not write the directory leaves it to the next privileged process).
void mark_made(const std::string& path) {
  const std::string marker = path + kMadeSuffix;
  struct stat st {};
  if (lstat(marker.c_str(), &st) == 0) return;
  const int fd =
      open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kMarkerMode);
  if (fd < 0) return;
  (void)fchmod(fd, kMarkerMode);
  if (geteuid() == 0) (void)fchown(fd, 0, 0);
  close(fd);
}

bool made_before(const std::string& path) {
  struct stat st {};
  return lstat((path + kMadeSuffix).c_str(), &st) == 0;
}

// Writes `key` to a temporary file beside `path` with the given mode and
// owner and links it into place, so that the name only ever holds a
// complete key. Returns 0 when this key is now the file, EEXIST's code when
// another file was there first, else the code of the failure.
unsigned long publish_key(const std::string& path, const unsigned char (&key)[kKeySize],
                          mode_t mode, uid_t uid, gid_t gid) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno_code();
  unsigned long err = 0;
  // The mode is set explicitly: a restrictive umask would otherwise make the
  // key unreadable to every other account.
  if (fchmod(fd, mode) != 0 || ((uid != geteuid() || gid != getegid()) && fchown(fd, uid, gid) != 0) ||
      !write_all(fd, key, kKeySize) || fsync(fd) != 0)
    err = errno_code();
  close(fd);
  if (err == 0 && link(temp.c_str(), path.c_str()) != 0) err = errno_code();
  unlink(temp.c_str());
  if (err == 0) {
    // Make the new name itself durable.
    const int dfd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      (void)fsync(dfd);
      close(dfd);
    }
  }
  return err;
}

bool already_exists(unsigned long err) {
  return err == kErrorAlreadyExists || err == win32_from_errno(EEXIST);
}

// Makes the machine's first key. Returns 0 when a key file exists
// afterwards (this process's or a contender's).
unsigned long create_key(const std::string& path) {
  ensure_directory(path);
  unsigned char key[kKeySize];
  unsigned long err = 0;
  if (getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key))
    err = errno_code();
  else
    err = publish_key(path, key, kKeyMode, geteuid(), geteuid() == 0 ? 0 : getegid());
  OPENSSL_cleanse(key, sizeof key);
  if (already_exists(err)) return 0;
  if (err == 0) {
    mark_made(path);
  } else {
    // The code alone would blame the missing file for a folder this
    // account may not write.
    const std::string fault = folder_fault(wide_from_file_name(path));
    report(path, "is missing and cannot be made (error " + std::to_string(err) + ": " +
                     (fault.empty() ? geterrormessage_shortstring(err) : fault) +
                     "); nothing can be protected or unprotected until it exists");
  }
  return err;
}

// Writes the loaded key back to its missing file. Returns 0 when a key
// file exists afterwards (ours, or one another process put there first).
unsigned long restore_key(key_cache& c) {
  const unsigned long err = publish_key(c.path, c.key->raw, c.mode, c.uid, c.gid);
  if (err == 0) {
    report(c.path, "was missing; written back from this process's memory");
    mark_made(c.path);
    return 0;
  }
  if (already_exists(err)) return 0;
  report(c.path, "is missing and cannot be written back (error " + std::to_string(err) +
                     "); the key is not used until the file is restored");
  return err;
}

// Takes the key in `key` (read from `fd`, a file with status `st`) as the
// loaded one. Called with the cache's lock held.
unsigned long take_key(key_cache& c, const unsigned char (&key)[kKeySize], const struct stat& st,
                       unique_fd& fd) {
  key_material material{};
  const unsigned long err = derive_key_material(key, material);
  if (err == 0) {
    if (c.loaded && CRYPTO_memcmp(c.key->raw, key, kKeySize) != 0)
      report(c.path, "was replaced by another key; the new key is used from now on");
    std::memcpy(c.key->raw, key, kKeySize);
    c.key->material = material;
    c.loaded = true;
    c.file = std::move(fd);
    c.stamp = stamp_of(st);
    c.uid = st.st_uid;
    c.gid = st.st_gid;
    c.mode = st.st_mode & 07777;
  }
  OPENSSL_cleanse(&material, sizeof material);
  return err;
}

// Brings the loaded key in line with the file: reads it, writes the loaded
// key back when the file is gone, or makes the first key. Called with the
// cache's lock held.
unsigned long load(key_cache& c) {
  if (!c.key) c.key = locked_page();
  if (!c.key) return kErrorNotEnoughMemory;
  unsigned char key[kKeySize];
  struct stat st {};
  unique_fd fd;
  unsigned long err = 0;
  // Two rounds at most: a missing file is written back or made, then read.
  for (int round = 0; round < 2; ++round) {
    err = read_key(c.path, key, st, fd);
    if (err != kErrorFileNotFound && err != kErrorPathNotFound) break;
    if (c.loaded) {
      err = restore_key(c);
    } else if (made_before(c.path)) {
      // A contender may have made the first key, and then its marker, since
      // the read above. The marker is written only after the key, so a read
      // after seeing it tells a key just made from one that was lost.
      err = read_key(c.path, key, st, fd);
      if (err == 0) break;
      if (err == kErrorFileNotFound || err == kErrorPathNotFound) {
        report(c.path, std::string("is missing, though a key was made here before (") + c.path +
                           kMadeSuffix +
                           " exists); restore the key file, or remove the marker to make a new "
                           "key and lose what the old one protected");
        err = kNteBadKeyset;
      }
      break;
    } else {
      err = create_key(c.path);
    }
    if (err != 0) break;
    err = kErrorFileNotFound;
  }
  if (err == 0) {
    err = take_key(c, key, st, fd);
    if (err == 0) mark_made(c.path);
  }
  OPENSSL_cleanse(key, sizeof key);
  return err;
}

// True while the file the key came from is as it was: not rewritten, and
// its name neither removed nor replaced.
bool unchanged(const key_cache& c) {
  struct stat st {};
  return fstat(c.file.get(), &st) == 0 && stamp_of(st) == c.stamp;
}

}  // namespace

unsigned long current_key_material(key_material& out, bool check_file) {
  key_cache& c = cache();
  std::lock_guard<library_mutex> lock(c.mutex);
  if (!c.path_set) {
    c.path = default_path();
    c.path_set = true;
  }
  if (!c.loaded || (check_file && !unchanged(c))) {
    if (const unsigned long err = load(c)) return err;
  }
  std::memcpy(&out, &c.key->material, sizeof out);
  return 0;
}

void set_machine_key_file(const std::string& path) {
  key_cache& c = cache();
  std::lock_guard<library_mutex> lock(c.mutex);
  c.path = path.empty() ? default_path() : path;
  c.path_set = true;
  c.loaded = false;
  c.file.reset();
  if (c.key) OPENSSL_cleanse(c.key, sizeof *c.key);
}

std::string machine_key_file() {
  key_cache& c = cache();
  std::lock_guard<library_mutex> lock(c.mutex);
  return c.path_set ? c.path : default_path();
}

}  // namespace krCore::detail
