// The machine key on Linux: 32 kernel random bytes in a file that every
// account can read and only its owner can write, made by whichever process
// needs it first.
//
// Linux has no machine-bound protection call, so the key file is the
// machine's secret. It is never derived from /etc/machine-id, which cloned
// images share. Creation races are settled by link(2): each contender writes
// a complete, synced temporary file and links it to the final name; exactly
// one link succeeds and the others read the winner's key. The derived key
// material lives in one locked page that core dumps leave out, and is
// reloaded only when the file's identity changes.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "foundation/errors.h"
#include "protection/machine_key.h"

namespace krCore::detail {
namespace {

constexpr char kDefaultKeyFile[] = "/var/lib/krcore/machine.key";
constexpr std::size_t kKeySize = 32;
constexpr mode_t kKeyMode = 0644;
constexpr mode_t kDirMode = 0755;
constexpr long long kRecheckMs = 1000;

// What tells one version of the key file from another.
struct file_stamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtime_ns = 0;
  long long ctime_ns = 0;
  bool operator==(const file_stamp&) const = default;
};

file_stamp stamp_of(const struct stat& st) {
  file_stamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  s.ctime_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  return s;
}

long long coarse_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

unsigned long errno_code() { return last_errno_as_win32(); }

// The loaded state. The key material sits in its own page, locked so that
// it is never swapped out and marked so that core dumps leave it out; the
// page lives as long as the process.
struct key_cache {
  std::mutex mutex;
  std::string path;
  bool path_set = false;
  bool loaded = false;
  file_stamp stamp;
  long long checked_ms = 0;
  key_material* material = nullptr;
};

key_cache& cache() {
  // Never destroyed, so that a secret read during static destruction works.
  // The lock is held across fork() so that a child, which has only the
  // forking thread, never inherits it locked.
  static key_cache* const c = [] {
    auto* fresh = new key_cache;
    pthread_atfork([] { cache().mutex.lock(); }, [] { cache().mutex.unlock(); },
                   [] { cache().mutex.unlock(); });
    return fresh;
  }();
  return *c;
}

key_material* locked_material() {
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t size = page > 0 ? static_cast<std::size_t>(page) : 4096;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // Best effort: a low RLIMIT_MEMLOCK or an old kernel only costs the extra
  // protection, not the key.
  (void)mlock(p, size);
  (void)madvise(p, size, MADV_DONTDUMP);
  return new (p) key_material{};
}

std::string default_path() {
  const char* env = std::getenv("KRCORE_MACHINE_KEY_FILE");
  return env && *env ? std::string(env) : std::string(kDefaultKeyFile);
}

bool write_all(int fd, const unsigned char* data, std::size_t size) {
  while (size) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the key of an existing file. Returns 0, 13 for a file that is not
// exactly a key, or the code of the system's error (2 when there is none).
unsigned long read_key(const std::string& path, unsigned char (&key)[kKeySize],
                       file_stamp& stamp) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno_code();
  struct stat st{};
  unsigned long err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno_code();
  } else if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kKeySize)) {
    err = kErrorInvalidData;
  } else {
    std::size_t got = 0;
    while (got < kKeySize) {
      const ssize_t n = read(fd, key + got, kKeySize - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno_code() : kErrorInvalidData;
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    stamp = stamp_of(st);
  }
  close(fd);
  return err;
}

// Makes the directory of the key file when it is missing (one level: the
// parent of a private directory is the administrator's business).
void ensure_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string dir = path.substr(0, slash);
  if (mkdir(dir.c_str(), kDirMode) == 0) (void)chmod(dir.c_str(), kDirMode);
}

// Writes a new key to a temporary file beside `path` and links it into
// place. Returns 0 when this process's key won, EEXIST's code when another
// key was there first, else the code of the failure.
unsigned long create_key(const std::string& path) {
  ensure_directory(path);
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno_code();
  unsigned char key[kKeySize];
  unsigned long err = 0;
  // The mode is set explicitly: a restrictive umask would otherwise make the
  // key unreadable to every other account.
  if (getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key) ||
      fchmod(fd, kKeyMode) != 0 || !write_all(fd, key, sizeof key) || fsync(fd) != 0)
    err = errno_code();
  OPENSSL_cleanse(key, sizeof key);
  close(fd);
  if (err == 0 && link(temp.c_str(), path.c_str()) != 0) err = errno_code();
  unlink(temp.c_str());
  if (err == 0) {
    // Make the new name itself durable.
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      (void)fsync(dfd);
      close(dfd);
    }
  }
  return err;
}

// Loads the key into the cache, making the file first when there is none.
// Called with the cache's lock held.
unsigned long load(key_cache& c) {
  if (!c.material) c.material = locked_material();
  if (!c.material) return kErrorNotEnoughMemory;
  c.loaded = false;
  unsigned char key[kKeySize];
  file_stamp stamp;
  unsigned long err = read_key(c.path, key, stamp);
  if (err == kErrorFileNotFound || err == kErrorPathNotFound) {
    err = create_key(c.path);
    if (err == 0 || err == kErrorAlreadyExists || err == win32_from_errno(EEXIST))
      err = read_key(c.path, key, stamp);
  }
  if (err == 0) err = derive_key_material(key, *c.material);
  OPENSSL_cleanse(key, sizeof key);
  if (err != 0) return err;
  c.loaded = true;
  c.stamp = stamp;
  c.checked_ms = coarse_ms();
  return 0;
}

// True when the file at the path is no longer the one the key came from.
bool changed(const key_cache& c) {
  struct stat st{};
  if (stat(c.path.c_str(), &st) != 0) return true;
  return !(stamp_of(st) == c.stamp);
}

}  // namespace

unsigned long current_key_material(key_material& out, bool recheck) {
  key_cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (!c.path_set) {
    c.path = default_path();
    c.path_set = true;
  }
  if (c.loaded) {
    const long long now = coarse_ms();
    if (recheck || now - c.checked_ms >= kRecheckMs) {
      c.checked_ms = now;
      if (changed(c)) c.loaded = false;
    }
  }
  if (!c.loaded) {
    if (const unsigned long err = load(c)) return err;
  }
  std::memcpy(&out, c.material, sizeof out);
  return 0;
}

void set_machine_key_file(const std::string& path) {
  key_cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.path = path.empty() ? default_path() : path;
  c.path_set = true;
  c.loaded = false;
  if (c.material) OPENSSL_cleanse(c.material, sizeof *c.material);
}

std::string machine_key_file() {
  key_cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.path_set ? c.path : default_path();
}

}  // namespace krCore::detail
