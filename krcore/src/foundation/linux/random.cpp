// The kernel random source (getrandom), read in batches per thread.
//
// GUIDs are made far more often than a batch is used up, and a scheduler
// makes one for every command it is given, from whichever thread adds it.
// So each thread reads its own batch ahead and serves itself from it: no
// lock, and no cache line that the threads making GUIDs pass between them.
// A batch is taken from the heap on a thread's first call, so that threads
// that never ask cost nothing, and wiped and freed when the thread ends.
//
// A forked child's one thread drops whatever its copy of the batch still
// holds before fork returns in it: otherwise parent and child would hand
// out the same bytes, and thus the same GUIDs. The batches of the parent's
// other threads are copied too, but no thread of the child owns them.
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "foundation/compiler.h"
#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "foundation/random.h"

namespace krCore::detail {
namespace {

// 256 GUIDs' worth. The kernel's read costs a call and its own generator:
// on a virtual machine some 3 us for 1 KiB, which was 50 ns of each of a
// scheduler's adds, against some 8.5 us for 4 KiB, 33 ns a GUID.
constexpr std::size_t kBatch = 4096;

// The calling thread's batch (null until its first call) and how much of it
// is handed out; a used-up or missing batch counts as all used. Initial-exec
// and trivially destructible, so that reaching it is one instruction.
struct thread_batch {
  unsigned char* bytes;
  std::size_t used;
  bool ended;  // the thread is ending and its batch is gone
};
constinit KRCORE_TLS_INITIAL_EXEC thread_local thread_batch t_batch{nullptr, kBatch, false};

// Forgets the rest of the calling thread's batch (wiped); the next call
// reads anew.
void empty_batch() {
  if (t_batch.bytes) explicit_bzero(t_batch.bytes, kBatch);
  t_batch.used = kBatch;
}

// Frees the calling thread's batch when the thread ends. Touched only when
// a batch is made, so only the threads that have one register an end.
struct batch_owner {
  bool owns = false;
  ~batch_owner() {
    empty_batch();
    delete[] t_batch.bytes;
    t_batch.bytes = nullptr;
    t_batch.ended = true;
  }
};
thread_local batch_owner t_owner;

const int g_fork_reset = (at_fork_child(&empty_batch), 0);

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

// Hands `size` bytes at the batch's current place to `out` and wipes them,
// so that they do not linger in memory. The bytes are counted as taken
// before they are copied, so that a signal handler that asks meanwhile
// gets others.
inline void hand_out(unsigned char* out, std::size_t size) {
  unsigned char* from = t_batch.bytes + t_batch.used;
  t_batch.used += size;
  if (size == 16) {
    // A GUID's worth, or four (a scheduler's draw ahead), the common
    // requests: copied and wiped inline.
    std::memcpy(out, from, 16);
    std::memset(from, 0, 16);
  } else if (size == 64) {
    std::memcpy(out, from, 64);
    std::memset(from, 0, 64);
  } else {
    std::memcpy(out, from, size);
    std::memset(from, 0, size);
  }
}

// Reads a new batch for the calling thread and hands out `size` bytes (at
// most kBatch) of it. Kept out of line: the common call finds bytes left
// and needs none of this.
KRCORE_NOINLINE unsigned long refill_and_take(unsigned char* out, std::size_t size) {
  if (!t_batch.bytes) {
    // Asked again by a later thread-end step (another thread-local's
    // destructor): served by the kernel, as a new batch would be freed by
    // nobody.
    if (t_batch.ended) return read_kernel(out, size);
    t_batch.bytes = new (std::nothrow) unsigned char[kBatch];
    if (!t_batch.bytes) return kErrorNotEnoughMemory;
    t_owner.owns = true;
  }
  t_batch.used = kBatch;  // a failed read leaves the batch used up
  if (const unsigned long err = read_kernel(t_batch.bytes, kBatch)) return err;
  t_batch.used = 0;
  hand_out(out, size);
  return kErrorSuccess;
}

}  // namespace

unsigned long random_bytes(void* out, std::size_t size) {
  (void)g_fork_reset;
  auto* dest = static_cast<unsigned char*>(out);
  // Requests larger than a quarter batch go to the kernel directly.
  if (size > kBatch / 4) return read_kernel(dest, size);
  if (kBatch - t_batch.used < size) return refill_and_take(dest, size);
  hand_out(dest, size);
  return kErrorSuccess;
}

}  // namespace krCore::detail
