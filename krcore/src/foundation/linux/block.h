// Internal (Linux): the state block of an event, semaphore or mutex, and the
// factory that puts an object around it.
//
// The block is plain 32-bit words that work at any address in any process:
// on the heap for an unnamed object, in a shared-memory segment for a named
// one. A named block may be written by every process that shares the name,
// other accounts' included, so nothing in it is ever used as a pointer, an
// index, a size or an object's kind: a word with a value nobody wrote
// legitimately makes the object misbehave, never the process. The kind and a
// semaphore's maximum are kept by each process's object.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/linux/object.h"

namespace krCore::detail {

struct object_block {
  // Events: (sequence << 1) | signalled. Semaphores: the count. Named
  // mutexes: the owner's thread id | kFutexWaiters | kFutexOwnerDied.
  std::atomic<std::uint32_t> word;
  std::atomic<std::uint32_t> waiters;
  // Named mutexes: the owner's process id, or 0 while it takes or gives up
  // ownership.
  std::atomic<std::uint32_t> owner_pid;
};

// Where a block lives; destroying the storage frees the block.
class block_storage {
 public:
  virtual ~block_storage() = default;
  object_block* block = nullptr;
  // Leave the block in memory when the storage goes: a live thread's robust
  // list still points into it (a mutex closed while another thread owns it).
  bool keep_block = false;
  // Named mutexes: records this process as one that may own the mutex, in a
  // way the kernel forgets when the process ends (once per process), and
  // returns its id.
  virtual pid_t announce_owner_process() { return 0; }
  // Named mutexes: false when the process `pid` surely no longer has the
  // object open (ended, or closed it).
  virtual bool process_holds(pid_t) { return true; }
};

// A block on the heap, for an unnamed object.
std::unique_ptr<block_storage> heap_block(object_kind kind);

// The object of `kind` around a block; takes over the storage. `maximum`:
// a semaphore's; `named`: the block is shared with other processes.
waitable* make_object(object_kind kind, std::uint32_t maximum, bool named,
                      std::unique_ptr<block_storage> storage);

// What a named object is made with when it does not exist yet.
struct named_args {
  object_kind kind;
  std::uint32_t initial;  // signalled state or count; its word's first value
  std::uint32_t maximum;  // semaphores
};

// Finds or creates the named object `name` of `args.kind`. `on_created`
// runs on the new object while no other process can open it yet (a mutex's
// initial ownership). Returns a handle with last error 0 or 183 (opened an
// existing object), or null with the last error set (6: the name belongs to
// another kind; 2: `create` false and no such object; 5: the name is held by
// a file another account put there, which this account cannot remove).
HANDLE open_named(const named_args& args, const std::wstring& name, bool create,
                  void (*on_created)(waitable*));

}  // namespace krCore::detail
