// Access-control lists applied as POSIX ACLs (libacl).
//
// Each entry's user or group gets a named entry with the permissions its
// mask grants; the owner and owning group get what their entries grant and
// "other" gets nothing, so only the listed identities reach the object. On a
// folder the inheritable entries also form its default ACL, which the
// kernel copies onto everything created inside. An open file is reached
// through /proc/self/fd, so both forms share one path-based implementation.
// A path is first opened as an object (O_PATH, without following a final
// link), and only that object is changed: a link planted where an
// administrator-only descriptor is applied is refused instead of handing
// its target to whoever planted it.
//
// The administrators' group is written as root, never as a group entry: a
// member of that group holds it for deny only until it runs as root (the
// elevation policy is always on here), and a kernel access check cannot
// tell a limited member from an elevated one. So what the administrators
// are granted reaches root alone.
#include <krcore/security.h>
#include <acl/libacl.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"

namespace krCore {
namespace {

constexpr unsigned long kErrorCantAccessFile = 1920;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericRead = 0x80000000;

enum : unsigned { kRead = 4, kWrite = 2, kExecute = 1 };

unsigned perms_from_mask(ACCESS_MASK mask) {
  if ((mask & kGenericAll) || (mask & FILE_ALL_ACCESS_MASK) == FILE_ALL_ACCESS_MASK)
    return kRead | kWrite | kExecute;
  unsigned perms = 0;
  if (mask & (0x1 | kGenericRead)) perms |= kRead;
  if (mask & (0x2 | 0x4 | kGenericWrite)) perms |= kWrite;
  if (mask & (0x20 | kGenericExecute)) perms |= kExecute;
  return perms;
}

// The account or group of the account database that an entry's SID stands
// for, the administrators' group standing for root; false for a SID with
// none.
bool acl_identity(const CSid& sid, bool& is_group, unsigned& id) {
  if (sid.Sid() == L"S-1-5-32-544") {
    is_group = false;
    id = 0;
    return true;
  }
  return sid.unix_id(is_group, id);
}

// Permissions per user and per group that the entries selected grant.
struct grants {
  std::map<unsigned, unsigned> users, groups;
  bool any = false;
};

grants collect(const CDacl& dacl, bool inherited) {
  grants out;
  for (const CDacl::entry& e : dacl.entries()) {
    const bool inheritable = e.flags & (OBJECT_INHERIT_ACE_FLAG | CONTAINER_INHERIT_ACE_FLAG);
    if (inherited ? !inheritable : (e.flags & INHERIT_ONLY_ACE_FLAG) != 0) continue;
    bool is_group = false;
    unsigned id = 0;
    if (!acl_identity(e.sid, is_group, id)) continue;
    (is_group ? out.groups : out.users)[id] |= perms_from_mask(e.mask);
    out.any = true;
  }
  return out;
}

[[noreturn]] void fail(const char* text) {
  throw krException(detail::last_errno_as_win32(), text, 4);
}

void add_entry(acl_t& acl, acl_tag_t tag, const id_t* qualifier, unsigned perms) {
  acl_entry_t entry;
  acl_permset_t set;
  if (acl_create_entry(&acl, &entry) != 0 || acl_set_tag_type(entry, tag) != 0 ||
      (qualifier && acl_set_qualifier(entry, qualifier) != 0) || acl_get_permset(entry, &set) != 0 ||
      acl_clear_perms(set) != 0)
    fail("CDacl: acl_create_entry failed.");
  if (perms & kRead) acl_add_perm(set, ACL_READ);
  if (perms & kWrite) acl_add_perm(set, ACL_WRITE);
  if (perms & kExecute) acl_add_perm(set, ACL_EXECUTE);
}

unsigned lookup(const std::map<unsigned, unsigned>& table, unsigned id) {
  const auto it = table.find(id);
  return it == table.end() ? 0 : it->second;
}

// Builds the ACL for an object owned by `uid`:`gid`; the caller frees it.
acl_t build(const grants& g, uid_t uid, gid_t gid) {
  acl_t acl = acl_init(static_cast<int>(g.users.size() + g.groups.size() + 4));
  if (!acl) fail("CDacl: acl_init failed.");
  unsigned mask = lookup(g.groups, gid);
  add_entry(acl, ACL_USER_OBJ, nullptr, lookup(g.users, uid));
  add_entry(acl, ACL_GROUP_OBJ, nullptr, lookup(g.groups, gid));
  add_entry(acl, ACL_OTHER, nullptr, 0);
  for (const auto& [id, perms] : g.users) {
    const id_t q = id;
    add_entry(acl, ACL_USER, &q, perms);
    mask |= perms;
  }
  for (const auto& [id, perms] : g.groups) {
    const id_t q = id;
    add_entry(acl, ACL_GROUP, &q, perms);
    mask |= perms;
  }
  add_entry(acl, ACL_MASK, nullptr, mask);
  return acl;
}

void apply_dacl(const CDacl& dacl, const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) fail("CDacl: stat failed.");
  acl_t access = build(collect(dacl, false), st.st_uid, st.st_gid);
  const int rc = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, access);
  const int err = errno;
  acl_free(access);
  if (rc != 0) {
    errno = err;
    fail("CDacl: acl_set_file failed.");
  }
  if (!S_ISDIR(st.st_mode)) return;
  const grants inherited = collect(dacl, true);
  if (!inherited.any) {
    if (acl_delete_def_file(path.c_str()) != 0 && errno != ENODATA)
      fail("CDacl: acl_delete_def_file failed.");
    return;
  }
  // A new object's owner is whoever creates it; the owning entry of the
  // default list grants what the folder's owner is granted.
  acl_t def = build(inherited, st.st_uid, st.st_gid);
  const int drc = acl_set_file(path.c_str(), ACL_TYPE_DEFAULT, def);
  const int derr = errno;
  acl_free(def);
  if (drc != 0) {
    errno = derr;
    fail("CDacl: acl_set_file failed.");
  }
}

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The object `path` names, held by an O_PATH descriptor; a final symbolic
// link is refused with 1920 (ERROR_CANT_ACCESS_FILE). `who` names the class
// in the exception's text.
detail::unique_fd open_object(const std::string& path, const char* who) {
  detail::unique_fd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) fail((std::string(who) + ": open failed.").c_str());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail((std::string(who) + ": stat failed.").c_str());
  if (S_ISLNK(st.st_mode))
    throw krException(kErrorCantAccessFile,
                      (std::string(who) + ": [" + path + "] is a symbolic link; refused.").c_str(),
                      4);
  return fd;
}

void apply_descriptor(const CSecurityDesc& sd, const std::string& path) {
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  CSid sid;
  bool is_group = false;
  unsigned id = 0;
  if (sd.GetOwner(&sid) && acl_identity(sid, is_group, id)) {
    // A group cannot own a file on Linux: root owns it and the group is the
    // owning group, which gives both what a group owner would have.
    if (is_group) {
      uid = 0;
      gid = id;
    } else {
      uid = id;
    }
  }
  if (sd.GetGroup(&sid) && acl_identity(sid, is_group, id) && is_group) gid = id;
  if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
      ::chown(path.c_str(), uid, gid) != 0)
    fail("CSecurityDesc: chown failed.");
  CDacl dacl;
  if (sd.GetDacl(&dacl)) apply_dacl(dacl, path);
}

}  // namespace

void CDacl::apply(const boost::filesystem::path& path) const {
  const detail::unique_fd object = open_object(path.string(), "CDacl");
  apply_dacl(*this, fd_path(object.get()));
}

void CDacl::apply(int fd) const { apply_dacl(*this, fd_path(fd)); }

void CSecurityDesc::apply(const boost::filesystem::path& path) const {
  const detail::unique_fd object = open_object(path.string(), "CSecurityDesc");
  apply_descriptor(*this, fd_path(object.get()));
}

void CSecurityDesc::apply(int fd) const { apply_descriptor(*this, fd_path(fd)); }

}  // namespace krCore
