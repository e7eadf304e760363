// The command scheduler's tables: a multiset by moment and a set by ID, both
// threaded through one entry per command (see command_tables.h).
#include "command_tables.h"

#include <algorithm>

#include "guid_text.h"

namespace krCore::detail {
namespace {

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

command_key command_key::of(const GUID& guid) {
  // The digits in the order the text form writes them.
  command_key key;
  key.high = static_cast<std::uint64_t>(guid.Data1) << 32 |
             static_cast<std::uint64_t>(guid.Data2) << 16 | guid.Data3;
  for (unsigned char b : guid.Data4) key.low = key.low << 8 | b;
  return key;
}

command_key command_key::of(const std::wstring& text) {
  command_key key;
  if (!parse_id(text, key.high, key.low)) key.other = &text;
  return key;
}

command_tables::~command_tables() {
  // Commands still waiting are dropped with the blocks; the trees only
  // need their nodes unlinked first.
  _byTime.clear();
  _byId.clear();
}

bool command_tables::contains(const std::wstring& id) const {
  return _byId.find(command_key::of(id)) != _byId.end();
}

void command_tables::link_by_time(entry& e) {
  // Moments mostly rise: an entry that belongs at the end goes there without
  // a search. Both kinds of insertion put it after equal moments.
  if (_byTime.empty() || _byTime.rbegin()->moment <= e.moment)
    _byTime.insert(_byTime.end(), e);
  else
    _byTime.insert(e);
}

command_tables::entry* command_tables::new_entry() {
  if (!_free) {
    // Blocks grow with the table, up to 4096 entries each.
    const std::size_t size = std::min<std::size_t>(4096, 64u << std::min<std::size_t>(_blocks.size(), 6));
    _blocks.push_back(std::make_unique<entry[]>(size));
    entry* block = _blocks.back().get();
    for (std::size_t i = size; i-- > 0;) {
      block[i].nextFree = _free;
      _free = &block[i];
    }
  }
  entry* e = _free;
  _free = e->nextFree;
  return e;
}

void command_tables::free_entry(entry* e) {
  e->command.reset();
  e->key = {};
  e->nextFree = _free;
  _free = e;
}

void command_tables::release_if_unlinked(entry* e) {
  if (!e->timeHook.is_linked() && !e->idHook.is_linked()) free_entry(e);
}

std::wstring command_tables::add_new(double moment_s, const std::shared_ptr<IThreadwork>& work) {
  // One search both proves the GUID unused and finds where it goes.
  GUID guid;
  command_key key;
  id_table::insert_commit_data where;
  do {
    create_text_guid(guid);
    key = command_key::of(guid);
  } while (!_byId.insert_check(key, where).second);

  auto command = std::make_shared<CommandShell_t>();
  command->ID = guid_text(guid);
  command->ExecuteMoment = moment_s;
  command->Work = work;
  entry* e = new_entry();
  e->moment = moment_s;
  e->key = key;
  e->command = command;
  // Nothing that can throw comes after this point.
  _byId.insert_commit(*e, where);
  link_by_time(*e);
  return command->ID;
}

void command_tables::add(const std::shared_ptr<CommandShell_t>& command) {
  entry* e = new_entry();
  e->moment = command->ExecuteMoment;
  e->command = command;
  e->key = command_key::of(e->command->ID);
  _byId.insert_unique(*e);  // a taken ID: the time table alone holds it
  link_by_time(*e);
}

std::shared_ptr<CommandShell_t> command_tables::remove(const std::wstring& id) {
  const auto found = _byId.find(command_key::of(id));
  if (found == _byId.end()) return {};
  entry* e = &*found;
  _byId.erase(found);
  if (e->timeHook.is_linked()) _byTime.erase(_byTime.iterator_to(*e));
  std::shared_ptr<CommandShell_t> command = std::move(e->command);
  free_entry(e);
  return command;
}

bool command_tables::remove_by_time(const CommandShell_t& command) {
  const auto range = _byTime.equal_range(command.ExecuteMoment);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->command->ID != command.ID) continue;
    entry* e = &*it;
    _byTime.erase(it);
    release_if_unlinked(e);
    return true;
  }
  return false;
}

void command_tables::take_due(double now_s, std::list<std::shared_ptr<CommandShell_t>>& ready) {
  while (!_byTime.empty() && _byTime.begin()->moment <= now_s) {
    entry* e = &*_byTime.begin();
    _byTime.erase(_byTime.begin());
    if (e->idHook.is_linked()) _byId.erase(_byId.iterator_to(*e));
    ready.push_back(std::move(e->command));
    free_entry(e);
  }
}

}  // namespace krCore::detail
