// The command scheduler's tables: a multiset by moment and a set by ID, both
// threaded through one entry per command (see command_tables.h).
#include "scheduling/command_tables.h"

#include <algorithm>
#include <memory>

#include "foundation/compiler.h"
#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "sysutil/guid_text.h"

namespace krCore::detail {
namespace {

// The GUIDs the calling thread's next new commands get, drawn a few at a
// time, at least one add ahead (see fresh_id): one draw of the random
// source serves several adds. A forked child's thread draws anew, so that
// parent and child never hand out the same one.
constexpr unsigned kDrawnAhead = 4;
struct drawn_ahead {
  GUID guids[kDrawnAhead];
  unsigned next;  // the next one to hand out; kDrawnAhead when none is left
};
constinit KRCORE_TLS_INITIAL_EXEC thread_local drawn_ahead t_ahead{{}, kDrawnAhead};
const int g_fork_reset = (at_fork_child([] { t_ahead.next = kDrawnAhead; }), 0);

int hex_digit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;  // upper case too: the text must be the one the scheduler made
}

// The 32 digits of a lower-case 8-4-4-4-12 text as two integers; false for
// any other text.
bool parse_id(const std::wstring& text, std::uint64_t& high, std::uint64_t& low) {
  if (text.size() != 36) return false;
  std::uint64_t half[2] = {0, 0};
  int digits = 0;
  for (std::size_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != L'-') return false;
      continue;
    }
    const int v = hex_digit(text[i]);
    if (v < 0) return false;
    std::uint64_t& h = half[digits / 16];
    h = h << 4 | static_cast<std::uint64_t>(v);
    ++digits;
  }
  high = half[0];
  low = half[1];
  return true;
}

}  // namespace

fresh_id::fresh_id(const command_tables& tables) {
  // A random ID lands in a random slot of the ID table, which in a large
  // table is out of the cache: the wait for it was most of an add's time.
  // So each thread draws the GUID for its next add now and starts fetching
  // that one's slot, which has then arrived when the next add inserts it.
  (void)g_fork_reset;
  drawn_ahead& ahead = t_ahead;
  if (ahead.next < kDrawnAhead)
    guid = ahead.guids[ahead.next++];
  else
    create_text_guid(guid);  // the first add, or the last draw failed
  // The last one handed out: the next few are drawn now.
  if (ahead.next == kDrawnAhead && random_guids(ahead.guids, kDrawnAhead) == kErrorSuccess)
    ahead.next = 0;
  if (ahead.next < kDrawnAhead) tables.prefetch_id(ahead.guids[ahead.next]);
}

void fresh_id::renew() { create_text_guid(guid); }

std::wstring fresh_id::text() const { return guid_text(guid); }

GUID command_key::guid() const {
  GUID guid;
  guid.Data1 = static_cast<std::uint32_t>(high >> 32);
  guid.Data2 = static_cast<std::uint16_t>(high >> 16);
  guid.Data3 = static_cast<std::uint16_t>(high);
  const std::uint64_t bytes = big_endian(low);
  std::memcpy(guid.Data4, &bytes, sizeof bytes);
  return guid;
}

command_key command_key::of(const std::wstring& text) {
  command_key key;
  if (!parse_id(text, key.high, key.low)) key.other = &text;
  return key;
}

command_tables::~command_tables() = default;

bool command_tables::contains(const std::wstring& id) const {
  return _byId.find(command_key::of(id)) != nullptr;
}

command_tables::entry* command_tables::new_block() {
  // Blocks grow with the table, from 64 to 4096 entries.
  const std::size_t size = std::size_t{64} << std::min<std::size_t>(_blocks.size(), 6);
  if (_numbered + size > kMaxEntries) throw std::bad_alloc();
  if (_blocks.size() == _blocks.capacity()) _blocks.reserve(2 * _blocks.size() + 1);
  if (large_blocks_pay && _blocks.size() >= kLargeEntryBlocksFrom) {
    auto* first = static_cast<entry*>(_large.take(size * sizeof(entry)));
    std::uninitialized_value_construct_n(first, size);  // cannot throw
    _blocks.emplace_back(first, block_release{size, true});
  } else {
    _blocks.emplace_back(new entry[size](), block_release{size, false});
  }
  _unused = _blocks.back().get();
  _unusedEnd = _unused + size;
  entry* e = _unused++;
  e->number = _numbered++;
  return e;
}

void command_tables::free_entry(entry* e) {
  e->held.reset();
  e->order = 0;
  e->high = e->low = 0;
  e->byId = e->hasShell = e->textKey = 0;
  e->nextFree = _free == nullptr ? 0 : _free->number + 1;
  _free = e;
}

void command_tables::release_if_unlinked(entry* e) {
  if (!e->by_time() && !e->byId) free_entry(e);
}

void command_tables::add_new(double moment_s, fresh_id& id,
                             const std::shared_ptr<IThreadwork>& work) {
  entry* e = new_entry();
  try {
    // Inserting the key is the check that no waiting command has it.
    e->set_key(command_key::of(id.guid));
    while (!_byId.insert(e)) {
      id.renew();
      e->set_key(command_key::of(id.guid));
    }
  } catch (...) {
    free_entry(e);
    throw;
  }
  e->byId = 1;
  try {
    link_by_time(e, moment_s);
  } catch (...) {
    _byId.erase(e->key());
    free_entry(e);
    throw;
  }
  e->held = work;
}

void command_tables::add(const std::shared_ptr<CommandShell_t>& command) {
  entry* e = new_entry();
  e->held = command;
  e->hasShell = 1;
  e->set_key(command_key::of(command->ID));  // a text key is the shell's ID
  try {
    e->byId = _byId.insert(e) ? 1 : 0;  // a taken ID: the time table alone
    link_by_time(e, command->ExecuteMoment);
  } catch (...) {
    if (e->byId) _byId.erase(e->key());
    free_entry(e);
    throw;
  }
}

std::shared_ptr<CommandShell_t> command_tables::shell_of(entry* e) {
  if (!e->hasShell) {
    auto shell = std::make_shared<CommandShell_t>();
    shell->ID = guid_text(e->key().guid());
    shell->ExecuteMoment = moment_of(*e);
    shell->Work = std::static_pointer_cast<IThreadwork>(std::move(e->held));
    e->held = std::move(shell);
    e->hasShell = 1;
  }
  return std::static_pointer_cast<CommandShell_t>(e->held);
}

std::shared_ptr<CommandShell_t> command_tables::remove(const std::wstring& id) {
  entry* e = _byId.find(command_key::of(id));
  if (!e) return {};
  std::shared_ptr<CommandShell_t> command = shell_of(e);
  _byId.erase(e->key());
  if (e->by_time()) _byTime.erase(e->heapIndex);
  free_entry(e);
  return command;
}

bool command_tables::remove_by_time(const CommandShell_t& command) {
  // Among the entries at the command's moment, the one with its ID.
  entry* e = _byId.find(command_key::of(command.ID));
  if (!e || !e->by_time()) return false;
  const double moment = moment_of(*e);
  if (moment != command.ExecuteMoment) return false;
  _byTime.erase(e->heapIndex);
  e->heapIndex = kNotTimed;
  e->moment = moment;  // found by ID still, so its shell can be made
  release_if_unlinked(e);
  return true;
}

template <class Take>
void command_tables::take_due_entries(double now_s, Take take) {
  _byTime.take_front_while([now_s](const time_slot& slot) { return moment_of(slot.rank) <= now_s; },
                           [this, &take](const time_slot& slot) {
                             entry* e = slot.e;
                             take(e);  // may throw: nothing changed yet
                             if (e->byId) _byId.erase(e->key());
                             free_entry(e);
                           });
}

void command_tables::take_due(double now_s, std::list<std::shared_ptr<CommandShell_t>>& ready) {
  take_due_entries(now_s, [this, &ready](entry* e) { ready.push_back(shell_of(e)); });
}

void command_tables::take_due(double now_s, std::vector<std::shared_ptr<IThreadwork>>& works) {
  take_due_entries(now_s, [&works](entry* e) {
    // Room first, so that the work item leaves the entry only once nothing
    // can throw.
    if (works.size() == works.capacity()) works.reserve(std::max<std::size_t>(16, 2 * works.size()));
    if (e->hasShell)
      works.push_back(shell(*e).Work);
    else
      works.push_back(std::static_pointer_cast<IThreadwork>(std::move(e->held)));
  });
}

}  // namespace krCore::detail
