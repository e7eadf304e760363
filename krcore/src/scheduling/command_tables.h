// Internal: the command scheduler's two tables, one ordered by due moment and
// one indexed by ID, both pointing at one entry per command.
//
// A command added with a work item alone (the common case) has no
// CommandShell_t until somebody needs one: its entry holds the moment, the ID
// as a key and the work item, and a shell is made only when the command is
// removed or handed out in a list. Adding and taking a command then cost no
// allocation besides the ID text the caller gets back, and the scheduler
// thread frees nothing that other threads allocated.
//
// The time table is a heap of small fixed-size items (see time_heap.h): an
// add appends and climbs a step or two, where an ordered table would search
// and shift. The ID table is a hash table (see id_index.h). IDs in the GUID
// text form the scheduler makes are kept as their 16 bytes.
//
// A new command's ID is drawn before the tables are locked (fresh_id) and
// written out as text after they are unlocked: neither needs them, and the
// lock is then held only for the two insertions.
//
// Once the tables are large (past some twelve thousand commands; the ID
// table past some thirty thousand), their entry blocks, the time table's
// chunks and the ID table come from large blocks (foundation/large_blocks.h)
// where the kernel may back them with huge pages: a burst of adds then
// takes a page fault per 2 MiB of table rather than per 4 KiB, and on a
// virtual machine those faults were most of its time.
#pragma once

#include <krcore/threading.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/internal.h"
#include "foundation/large_blocks.h"
#include "foundation/spin_lock.h"
#include "scheduling/id_index.h"
#include "scheduling/time_heap.h"

namespace krCore::detail {

// A command's ID as a table key. A text of the form 8-4-4-4-12 in lower-case
// hexadecimal digits (every ID the scheduler makes) is held as its 32 digits
// in two integers; any other text (only a subclass can insert one) by a
// pointer to it.
struct command_key {
  // The eight bytes of Data4 as one integer, the first byte highest, the
  // way the text writes them, and back: the same swap either way. Shifts
  // and masks, which the compiler makes one byte-swap instruction.
  static std::uint64_t big_endian(std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
      v = (v & 0x00FF00FF00FF00FFull) << 8 | (v >> 8 & 0x00FF00FF00FF00FFull);
      v = (v & 0x0000FFFF0000FFFFull) << 16 | (v >> 16 & 0x0000FFFF0000FFFFull);
      v = v << 32 | v >> 32;
    }
    return v;
  }

  std::uint64_t high = 0;
  std::uint64_t low = 0;
  const std::wstring* other = nullptr;

  static command_key of(const GUID& guid) {
    command_key key;
    key.high = static_cast<std::uint64_t>(guid.Data1) << 32 |
               static_cast<std::uint64_t>(guid.Data2) << 16 | guid.Data3;
    std::uint64_t bytes;
    std::memcpy(&bytes, guid.Data4, sizeof bytes);
    key.low = big_endian(bytes);
    return key;
  }
  // The GUID of a key made from one (or from its text).
  GUID guid() const;
  // `text` must outlive the key when it is not of the GUID form.
  static command_key of(const std::wstring& text);
};

class command_tables;

// A new command's ID: a random GUID, drawn without any lock; its text is
// written only once the GUID is proven unused, straight into the string the
// caller gets. Throws krException when the random source fails (as
// createguid does).
struct KRCORE_INTERNAL fresh_id {
  GUID guid;

  fresh_id() { renew(); }
  // The same, for insertion into `tables`: the fetch of the ID's place in
  // their ID table starts one add ahead.
  explicit fresh_id(const command_tables& tables);
  // Draws another GUID.
  void renew();
  // The ID as text.
  std::wstring text() const;
};

// The scheduler's tables. Not thread-safe: the scheduler calls every
// operation holding lock(), which nothing else takes. Every command is in both tables, except one
// inserted with an ID already taken, which only the time table holds (it
// still runs, but cannot be found by ID).
class KRCORE_INTERNAL command_tables {
 public:
  command_tables() = default;
  command_tables(const command_tables&) = delete;
  command_tables& operator=(const command_tables&) = delete;
  ~command_tables();

  // The lock of the scheduler that owns the tables. Non-recursive; holding
  // it holds off a forced end of the holder.
  spin_lock& lock() const { return _lock; }

  bool empty() const { return _byTime.empty(); }
  // The earliest moment, or -1.0 when nothing waits.
  double earliest() const {
    return _byTime.empty() ? -1.0 : moment_of(_byTime.front().rank);
  }
  // Starts fetching the place of `guid` in the ID table; a hint that any
  // thread may give without the lock (see id_index::prefetch).
  void prefetch_id(const GUID& guid) const { _byId.prefetch(command_key::of(guid)); }
  bool contains(const std::wstring& id) const;
  bool contains(const GUID& id) const { return _byId.find(command_key::of(id)) != nullptr; }

  // Schedules `work` at `moment_s` under `id`; while a waiting command has
  // that ID already, `id` is renewed first. Throws krException when the
  // random source fails, or std::bad_alloc; the tables are then unchanged.
  void add_new(double moment_s, fresh_id& id, const std::shared_ptr<IThreadwork>& work);
  // Schedules a command under its own ID and moment; the tables keep this
  // shell and hand it back from remove and take_due.
  void add(const std::shared_ptr<CommandShell_t>& command);
  // Takes the command with that ID out of both tables; empty when none.
  // Throws std::bad_alloc with the tables unchanged.
  std::shared_ptr<CommandShell_t> remove(const std::wstring& id);
  // Takes `command` out of the time table only (the entry with its ID, if
  // that waits at its moment); false when it is not there.
  bool remove_by_time(const CommandShell_t& command);
  // Takes every command due at `now_s` out of both tables, appending them to
  // `ready` earliest first, in insertion order among equal moments. A
  // command whose shell cannot be made (std::bad_alloc) stays, with those
  // after it.
  void take_due(double now_s, std::list<std::shared_ptr<CommandShell_t>>& ready);
  // The same, appending only the commands' work items: makes no shells.
  void take_due(double now_s, std::vector<std::shared_ptr<IThreadwork>>& works);

 private:
  static constexpr std::uint32_t kNotTimed = UINT32_MAX;
  // Entries are numbered in 29 bits, so that the number and the flags
  // share one word: at most this many commands wait at once.
  static constexpr std::uint32_t kMaxEntries = std::uint32_t{1} << 29;
  // Most of an add's cost is the first touch of the memory it keeps, so
  // every byte of the entry counts: 48 of them.
  struct entry {
    // Its place in the order of adds while the time table holds it (the
    // moment is then in the time table's item); its moment once it has
    // left that table but is still found by ID.
    union {
      std::uint64_t order = 0;
      double moment;
    };
    // The key's two halves (see command_key); a text key of another form
    // is the ID of the entry's shell (`textKey`).
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    // The command's shell once it has one (`hasShell`), else its work item:
    // never both, so one owning pointer holds either.
    std::shared_ptr<void> held;
    // A free entry is in no table, so the link of the free list shares the
    // place of the index in the time table.
    union {
      std::uint32_t heapIndex = kNotTimed;  // its place in the time table, if there
      std::uint32_t nextFree;               // the next free entry's number + 1, 0 for none
    };
    std::uint32_t number : 29 = 0;  // its place in the blocks, for the ID table
    std::uint32_t byId : 1 = 0;     // whether the ID table holds it
    std::uint32_t hasShell : 1 = 0;
    std::uint32_t textKey : 1 = 0;

    bool by_time() const { return heapIndex != kNotTimed; }
    command_key key() const {
      command_key k;
      k.high = high;
      k.low = low;
      if (textKey) k.other = &static_cast<const CommandShell_t*>(held.get())->ID;
      return k;
    }
    // A text key must be the ID of the shell the entry holds.
    void set_key(const command_key& k) {
      high = k.high;
      low = k.low;
      textKey = k.other != nullptr;
    }
  };
  static_assert(sizeof(void*) != 8 || sizeof(entry) <= 48);
  static CommandShell_t& shell(const entry& e) { return *static_cast<CommandShell_t*>(e.held.get()); }

  // The time table's items: moment, then insertion order (kept in the
  // entry, and looked at only for equal moments), so that equal moments
  // keep the order they were added in; an item is 16 bytes. The moments compare in the
  // total order of doubles, so even a NaN that got past the scheduler's
  // checks could not break the table's order. An item holds its moment as
  // that order's rank, the moment's bits as an integer with the negative
  // ones reversed: comparing two is one integer comparison, and the
  // mapping is its own inverse.
  struct time_slot {
    std::int64_t rank;
    entry* e;
  };
  static std::int64_t rank_of(double moment) {
    std::int64_t bits;
    std::memcpy(&bits, &moment, sizeof bits);
    return bits ^ ((bits >> 63) & INT64_MAX);
  }
  static double moment_of(std::int64_t rank) {
    const std::int64_t bits = rank ^ ((rank >> 63) & INT64_MAX);
    double moment;
    std::memcpy(&moment, &bits, sizeof moment);
    return moment;
  }
  struct time_less {
    bool operator()(const time_slot& a, const time_slot& b) const {
      return a.rank < b.rank || (a.rank == b.rank && a.e->order < b.e->order);
    }
  };
  struct time_place {
    std::uint32_t& operator()(const time_slot& slot) const { return slot.e->heapIndex; }
  };

  // Puts an entry into the time table at `moment_s`, after the entries
  // already waiting at that moment.
  void link_by_time(entry* e, double moment_s) {
    e->order = _order;
    _byTime.insert({rank_of(moment_s), e});
    ++_order;
  }
  // The moment of an entry, in the time table or not.
  double moment_of(const entry& e) const {
    return e.by_time() ? moment_of(_byTime.at(e.heapIndex).rank) : e.moment;
  }

  // Entries come from blocks the tables own and go back to a free list: no
  // allocator call per command. The newest block is handed out in order
  // before the free list is built from it. The blocks live as long as the
  // tables; once the tables are large, they are pieces of the tables' large
  // blocks (see _large).
  entry* new_entry() {
    if (entry* e = _free) {
      _free = e->nextFree == 0 ? nullptr : entry_at(e->nextFree - 1);
      e->heapIndex = kNotTimed;
      return e;
    }
    if (_unused == _unusedEnd) return new_block();
    entry* e = _unused++;
    e->number = _numbered++;
    return e;
  }
  // The entry with `number`: the blocks hold 64, 128, ... 2048 entries,
  // then 4096 each, numbered in order.
  entry* entry_at(std::uint32_t number) const {
    constexpr std::uint32_t kSmall = 64 * 63;  // the entries of blocks 0 to 5
    if (number < kSmall) {
      const auto block = static_cast<std::size_t>(std::bit_width((number >> 6) + 1) - 1);
      return _blocks[block].get() + (number - 64 * ((1u << block) - 1));
    }
    const std::uint32_t rest = number - kSmall;
    return _blocks[6 + rest / 4096].get() + rest % 4096;
  }
  struct entry_by_number {
    const command_tables* tables;
    entry* operator()(std::uint32_t number) const { return tables->entry_at(number); }
  };
  // Starts a new block and hands out its first entry.
  entry* new_block();
  void free_entry(entry* e);
  void release_if_unlinked(entry* e);
  // The entry's command as a shell, made on first use. Throws
  // std::bad_alloc with the entry unchanged.
  std::shared_ptr<CommandShell_t> shell_of(entry* e);
  // Takes the due entries out of both tables, handing each to `take` first;
  // an entry for which `take` throws stays, with those after it.
  template <class Take>
  void take_due_entries(double now_s, Take take);

  // Destroys the entries of a block, and frees the block unless it is a
  // piece of the tables' large blocks.
  struct block_release {
    std::size_t count;
    bool pooled;
    void operator()(entry* first) const {
      if (pooled)
        std::destroy_n(first, count);
      else
        delete[] first;
    }
  };
  // The time table's chunks: from the large blocks once it holds this many
  // (items of 16 bytes, 1024 to a chunk); the entry blocks likewise from
  // this block on (the ninth: past 12,224 entries of 48 bytes). Below,
  // the unused rest of a large block would cost more than it saves.
  static constexpr std::size_t kLargeHeapChunksFrom = 12;
  static constexpr std::size_t kLargeEntryBlocksFrom = 8;
  struct heap_chunks {
    command_tables* tables;
    void* operator()(std::size_t index, std::size_t bytes) const {
      return large_blocks_pay && index >= kLargeHeapChunksFrom ? tables->_large.take(bytes)
                                                                : nullptr;
    }
  };

  mutable spin_lock _lock;
  // The storage of a large table's entry blocks and time table: kept until
  // the tables go, after the blocks' entries are destroyed.
  large_pool _large;
  std::vector<std::unique_ptr<entry[], block_release>> _blocks;
  entry* _unused = nullptr;  // the newest block's entries never handed out
  entry* _unusedEnd = nullptr;
  std::uint32_t _numbered = 0;  // entries handed out from the blocks
  entry* _free = nullptr;
  std::uint64_t _order = 0;
  time_heap<time_slot, time_less, time_place, heap_chunks> _byTime{heap_chunks{this}};
  id_index<entry, entry_by_number> _byId{entry_by_number{this}};
};

}  // namespace krCore::detail
