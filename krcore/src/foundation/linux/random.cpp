// The kernel random source (getrandom), read in batches.
//
// GUIDs are made far more often than a 4 KiB batch is used up, so the bytes
// are read ahead into one process-wide buffer under a mutex. After fork() the
// child drops whatever its copy of the buffer still holds: otherwise parent
// and child would hand out the same bytes, and thus the same GUIDs.
#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "foundation/errors.h"
#include "foundation/random.h"

namespace krCore::detail {
namespace {

constexpr std::size_t kBatch = 4096;

struct Pool {
  std::mutex mutex;
  unsigned char bytes[kBatch];
  std::size_t used = kBatch;  // everything used: the first call reads
};

Pool& pool() {
  // Never destroyed, so that a GUID made during static destruction works.
  static Pool* p = [] {
    auto* fresh = new Pool;
    // The mutex is held across fork() so that the child's copy of the pool is
    // consistent; the child then empties it.
    pthread_atfork([] { pool().mutex.lock(); }, [] { pool().mutex.unlock(); },
                   [] {
                     Pool& c = pool();
                     std::memset(c.bytes, 0, kBatch);
                     c.used = kBatch;
                     c.mutex.unlock();
                   });
    return fresh;
  }();
  return *p;
}

// Fills the whole buffer; getrandom may return short counts for large reads
// or when a signal arrives.
unsigned long read_kernel(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_errno_as_win32();
    }
    done += static_cast<std::size_t>(n);
  }
  return kErrorSuccess;
}

}  // namespace

unsigned long random_bytes(void* out, std::size_t size) {
  auto* dest = static_cast<unsigned char*>(out);
  // Requests larger than a batch go to the kernel directly.
  if (size > kBatch / 4) return read_kernel(dest, size);
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (kBatch - p.used < size) {
    if (const unsigned long err = read_kernel(p.bytes, kBatch)) return err;
    p.used = 0;
  }
  std::memcpy(dest, p.bytes + p.used, size);
  // Bytes handed out are wiped so they do not linger in memory.
  std::memset(p.bytes + p.used, 0, size);
  p.used += size;
  return kErrorSuccess;
}

}  // namespace krCore::detail
