// Internal: the account database the security identifiers map onto, and
// the calling thread's identity.
//
// Lookups go through NSS (getpwnam_r and friends) unless tests point the
// family at passwd- and group-format files of their own.
#pragma once

#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

struct user_entry {
  unsigned int uid = 0;
  std::string name;
  std::string gecos;
};

struct group_entry {
  unsigned int gid = 0;
  std::string name;
};

// Replaces NSS with passwd- and group-format files (both empty: NSS again).
// Thread-safe.
KRCORE_INTERNAL void set_account_files(const std::string& passwd, const std::string& group);
// Names the administrators' group (empty: the first of "sudo", "wheel",
// "admin" that exists). Thread-safe.
KRCORE_INTERNAL void set_admin_group_name(const std::string& name);

bool user_by_name(const std::string& name, user_entry& out);
bool user_by_id(unsigned int uid, user_entry& out);
bool group_by_name(const std::string& name, group_entry& out);
bool group_by_id(unsigned int gid, group_entry& out);
// The administrators' group; false when the machine has none.
KRCORE_INTERNAL bool admin_group(group_entry& out);

// The calling thread's effective user id.
unsigned int effective_uid();
// The effective group id and the supplementary groups.
std::vector<unsigned int> effective_groups();
// True when the calling thread's groups include the administrators' group.
bool in_admin_group();

// The machine SID's three sub-authorities, from the machine id below the
// system root; false when there is none.
KRCORE_INTERNAL bool machine_sid_parts(unsigned long parts[3]);
// "S-1-5-21-a-b-c", or empty.
std::wstring machine_sid_text();

}  // namespace krCore::detail
