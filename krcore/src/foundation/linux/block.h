// Internal (Linux): the state block of an event, semaphore or mutex, and the
// factory that puts an object around it.
//
// The block is plain data that works at any address in any process: on the
// heap for an unnamed object, in a shared-memory segment for a named one.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "foundation/linux/object.h"

namespace krCore::detail {

struct object_block {
  std::uint32_t magic;  // kBlockMagic once a named segment is initialised
  object_kind kind;
  // Events: (sequence << 1) | signalled. Semaphores: the count.
  std::atomic<std::uint32_t> word;
  std::atomic<std::uint32_t> waiters;
  std::uint32_t maximum;    // semaphores
  std::uint32_t recursion;  // mutexes: the owner's depth, touched by the owner only
  pthread_mutex_t mutex;    // mutexes: robust, recursive, process-shared
};

constexpr std::uint32_t kBlockMagic = 0x6B726F62;  // "krob"

// Where a block lives; destroying the storage frees the block.
class block_storage {
 public:
  virtual ~block_storage() = default;
  object_block* block = nullptr;
  // Leave the block in memory when the storage goes: a live thread's robust
  // list still points into it (a mutex closed while another thread owns it).
  bool keep_block = false;
};

// A block on the heap.
std::unique_ptr<block_storage> heap_block();

// Sets up a fresh block of `kind`. `initial`: signalled state or count;
// `maximum`: semaphores only.
void init_block(object_block* block, object_kind kind, std::uint32_t initial, std::uint32_t maximum);

// The object of `kind` around a block; takes over the storage.
waitable* make_object(object_kind kind, std::unique_ptr<block_storage> storage);

// Finds or creates the named object `name` of `kind`. `init` sets up a
// fresh block; `on_created` runs on the new object while no other process
// can open it yet (a mutex's initial ownership). Returns a handle with last
// error 0 or 183 (opened an existing object), or null with the last error
// set (6: the name belongs to another kind; 2: `create` false and no such
// object).
HANDLE open_named(object_kind kind, const std::wstring& name, bool create,
                  void (*init)(object_block*, const void*), const void* init_arg,
                  void (*on_created)(waitable*));

}  // namespace krCore::detail
