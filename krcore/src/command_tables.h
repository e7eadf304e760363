// Internal: the command scheduler's two ordered tables, one by due moment and
// one by ID, held as two intrusive trees threaded through one entry per
// command.
//
// One entry per command instead of a node per table means one allocation per
// command for both tables, a key stored inside the node (no pointer to chase
// per comparison), and removal from the time table through the entry itself
// instead of a second search. IDs in the GUID text form the scheduler makes
// are kept as their 16 bytes, compared as two integers; their order is the
// order of the lower-case texts.
#pragma once

#include <krcore/threading.h>

#include <boost/intrusive/set.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "internal.h"

namespace krCore::detail {

// A command's ID as a table key. A text of the form 8-4-4-4-12 in lower-case
// hexadecimal digits (every ID the scheduler makes) is held as its 32 digits
// in two integers; any other text (only a subclass can insert one) by a
// pointer to it, sorting after all GUID keys.
struct command_key {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  const std::wstring* other = nullptr;

  static command_key of(const GUID& guid);
  // `text` must outlive the key when it is not of the GUID form.
  static command_key of(const std::wstring& text);

  friend bool operator<(const command_key& a, const command_key& b) {
    if (!a.other && !b.other)
      return a.high < b.high || (a.high == b.high && a.low < b.low);
    if (!a.other || !b.other) return !a.other;
    return *a.other < *b.other;
  }
};

// The scheduler's tables. Not thread-safe: the scheduler calls every
// operation under its lock. Every command is in both tables under the same
// shared pointer, except one inserted with an ID already taken, which only
// the time table holds (it still runs, but cannot be found by ID).
class KRCORE_INTERNAL command_tables {
 public:
  command_tables() = default;
  command_tables(const command_tables&) = delete;
  command_tables& operator=(const command_tables&) = delete;
  ~command_tables();

  bool empty() const { return _byTime.empty(); }
  // The earliest moment, or -1.0 when nothing waits.
  double earliest() const { return _byTime.empty() ? -1.0 : _byTime.begin()->moment; }
  bool contains(const std::wstring& id) const;

  // Schedules `work` at `moment_s` under a fresh random GUID that no waiting
  // command has, and returns the ID's text. Throws krException when the
  // random source fails (as createguid does); the tables are then unchanged.
  std::wstring add_new(double moment_s, const std::shared_ptr<IThreadwork>& work);
  // Schedules a command under its own ID and moment.
  void add(const std::shared_ptr<CommandShell_t>& command);
  // Takes the command with that ID out of both tables; empty when none.
  std::shared_ptr<CommandShell_t> remove(const std::wstring& id);
  // Takes `command` out of the time table only (found among the commands
  // with its moment by its ID); false when it is not there.
  bool remove_by_time(const CommandShell_t& command);
  // Takes every command due at `now_s` out of both tables, appending them to
  // `ready` earliest first, in insertion order among equal moments.
  void take_due(double now_s, std::list<std::shared_ptr<CommandShell_t>>& ready);

 private:
  // The color bit rides in the parent pointer: smaller nodes, fewer cache
  // lines touched per search.
  using hook = boost::intrusive::set_member_hook<boost::intrusive::optimize_size<true>>;
  struct entry {
    hook timeHook;
    hook idHook;
    double moment = 0.0;
    command_key key;
    std::shared_ptr<CommandShell_t> command;
    entry* nextFree = nullptr;
  };
  struct moment_of {
    using type = double;
    double operator()(const entry& e) const { return e.moment; }
  };
  struct key_of {
    using type = command_key;
    const command_key& operator()(const entry& e) const { return e.key; }
  };
  using time_table = boost::intrusive::multiset<
      entry, boost::intrusive::member_hook<entry, hook, &entry::timeHook>,
      boost::intrusive::key_of_value<moment_of>>;
  using id_table = boost::intrusive::set<
      entry, boost::intrusive::member_hook<entry, hook, &entry::idHook>,
      boost::intrusive::key_of_value<key_of>>;

  // Puts a filled entry into the time table after the commands with an
  // equal moment.
  void link_by_time(entry& e);
  // Entries come from blocks the tables own and go back to a free list:
  // no allocator call per command, and the trees' nodes lie close together
  // (fewer cache and TLB misses per search). The blocks live as long as the
  // tables.
  entry* new_entry();
  void free_entry(entry* e);
  // Frees an entry that neither table holds any more.
  void release_if_unlinked(entry* e);

  std::vector<std::unique_ptr<entry[]>> _blocks;
  entry* _free = nullptr;
  time_table _byTime;
  id_table _byId;
};

}  // namespace krCore::detail
