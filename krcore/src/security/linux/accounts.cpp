// The account database on Linux: NSS lookups with buffers that grow until
// the entry fits, or passwd- and group-format files when tests name them;
// and the calling thread's effective identity.
#include "security/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "foundation/kill_hold.h"

namespace krCore::detail {
namespace {

library_mutex g_knobs;
std::string g_passwd, g_group, g_admin_name;

struct files {
  std::string passwd, group;
};

files account_files() {
  std::lock_guard<library_mutex> lock(g_knobs);
  return {g_passwd, g_group};
}

void fill(const passwd& p, user_entry& out) {
  out.uid = p.pw_uid;
  out.name = p.pw_name ? p.pw_name : "";
  out.gecos = p.pw_gecos ? p.pw_gecos : "";
}

void fill(const group& g, group_entry& out) {
  out.gid = g.gr_gid;
  out.name = g.gr_name ? g.gr_name : "";
}

// Calls an NSS *_r lookup, doubling the buffer while it reports ERANGE, and
// copies the entry out while its strings still live in the buffer.
template <class Entry, class Lookup, class Out>
bool nss_lookup(Lookup lookup, Out& out) {
  std::vector<char> buffer(1024);
  Entry entry;
  for (;;) {
    Entry* result = nullptr;
    const int rc = lookup(&entry, buffer.data(), buffer.size(), &result);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return false;
    fill(entry, out);
    return true;
  }
}

// Scans a passwd- or group-format file for the first entry `match` accepts.
template <class Entry, class Read, class Match, class Out>
bool file_lookup(const std::string& path, Read read, Match match, Out& out) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  std::vector<char> buffer(4096);
  Entry entry;
  Entry* result = nullptr;
  bool found = false;
  while (!found && read(f, &entry, buffer.data(), buffer.size(), &result) == 0 && result) {
    if (match(entry)) {
      fill(entry, out);
      found = true;
    }
  }
  (void)std::fclose(f);  // read only: closing cannot lose anything
  return found;
}

}  // namespace

void set_account_files(const std::string& passwd, const std::string& group) {
  std::lock_guard<library_mutex> lock(g_knobs);
  g_passwd = passwd;
  g_group = group;
}

void set_admin_group_name(const std::string& name) {
  std::lock_guard<library_mutex> lock(g_knobs);
  g_admin_name = name;
}

bool user_by_name(const std::string& name, user_entry& out) {
  const files f = account_files();
  if (!f.passwd.empty())
    return file_lookup<passwd>(f.passwd, fgetpwent_r,
                               [&](const passwd& p) { return name == p.pw_name; }, out);
  return nss_lookup<passwd>([&](passwd* e, char* b, size_t n, passwd** r) {
        return getpwnam_r(name.c_str(), e, b, n, r);
      }, out);
}

bool user_by_id(unsigned int uid, user_entry& out) {
  const files f = account_files();
  if (!f.passwd.empty())
    return file_lookup<passwd>(f.passwd, fgetpwent_r,
                               [&](const passwd& p) { return p.pw_uid == uid; }, out);
  return nss_lookup<passwd>([&](passwd* e, char* b, size_t n, passwd** r) {
        return getpwuid_r(uid, e, b, n, r);
      }, out);
}

bool group_by_name(const std::string& name, group_entry& out) {
  const files f = account_files();
  if (!f.group.empty())
    return file_lookup<group>(f.group, fgetgrent_r,
                              [&](const group& g) { return name == g.gr_name; }, out);
  return nss_lookup<group>([&](group* e, char* b, size_t n, group** r) {
        return getgrnam_r(name.c_str(), e, b, n, r);
      }, out);
}

bool group_by_id(unsigned int gid, group_entry& out) {
  const files f = account_files();
  if (!f.group.empty())
    return file_lookup<group>(f.group, fgetgrent_r,
                              [&](const group& g) { return g.gr_gid == gid; }, out);
  return nss_lookup<group>([&](group* e, char* b, size_t n, group** r) {
        return getgrgid_r(gid, e, b, n, r);
      }, out);
}

bool admin_group(group_entry& out) {
  std::string named;
  {
    std::lock_guard<library_mutex> lock(g_knobs);
    named = g_admin_name;
  }
  if (!named.empty()) return group_by_name(named, out);
  for (const char* name : {"sudo", "wheel", "admin"})
    if (group_by_name(name, out)) return true;
  return false;
}

unsigned int effective_uid() { return ::geteuid(); }

std::vector<unsigned int> effective_groups() {
  std::vector<unsigned int> out{static_cast<unsigned int>(::getegid())};
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) out.push_back(groups[static_cast<size_t>(i)]);
  }
  return out;
}

bool in_admin_group() {
  group_entry admins;
  if (!admin_group(admins)) return false;
  for (unsigned int gid : effective_groups())
    if (gid == admins.gid) return true;
  return false;
}

}  // namespace krCore::detail
