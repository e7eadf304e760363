// The local security authority on Linux: domain facts from Samba's
// configuration, and account rights kept in a policy file.
//
// The kernel has no store of account rights, so they live where an
// administrator expects machine policy, in /var/lib/krcore/accountrights:
// one "SID right" pair per line. Changes take an exclusive lock on a lock
// file beside it, then write a temporary file and rename it over the store,
// so a reader always sees a whole file and concurrent writers never lose
// each other's changes. The store is read through the untrusted-file
// helper: a FIFO, a device or a file beyond any real policy's size is
// refused with its code and a logged line, never read as an empty store
// that the next change would write back.
#include <krcore/security.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <sstream>

#include "foundation/errors.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"
#include "security/identity.h"
#include "security/system_files.h"
#include "security/text.h"

namespace krCore {
namespace {

// Access that only reads: view local information (1), view audit
// information (2), get private information (4), look up names (0x800) and
// the standard read-control right (0x20000).
constexpr unsigned long kReadOnlyAccess = 0x1 | 0x2 | 0x4 | 0x800 | 0x20000;
constexpr unsigned long kCreateAccount = 0x10;

struct policy_handle {
  unsigned long access;
};

const wchar_t* const kRights[] = {
    L"SeBatchLogonRight", L"SeDenyBatchLogonRight", L"SeDenyInteractiveLogonRight",
    L"SeDenyNetworkLogonRight", L"SeDenyRemoteInteractiveLogonRight", L"SeDenyServiceLogonRight",
    L"SeInteractiveLogonRight", L"SeNetworkLogonRight", L"SeRemoteInteractiveLogonRight",
    L"SeServiceLogonRight", L"SeAssignPrimaryTokenPrivilege", L"SeAuditPrivilege",
    L"SeBackupPrivilege", L"SeChangeNotifyPrivilege", L"SeCreateGlobalPrivilege",
    L"SeCreatePagefilePrivilege", L"SeCreatePermanentPrivilege", L"SeCreateSymbolicLinkPrivilege",
    L"SeCreateTokenPrivilege", L"SeDebugPrivilege", L"SeEnableDelegationPrivilege",
    L"SeImpersonatePrivilege", L"SeIncreaseBasePriorityPrivilege", L"SeIncreaseQuotaPrivilege",
    L"SeIncreaseWorkingSetPrivilege", L"SeLoadDriverPrivilege", L"SeLockMemoryPrivilege",
    L"SeMachineAccountPrivilege", L"SeManageVolumePrivilege", L"SeProfileSingleProcessPrivilege",
    L"SeRelabelPrivilege", L"SeRemoteShutdownPrivilege", L"SeRestorePrivilege",
    L"SeSecurityPrivilege", L"SeShutdownPrivilege", L"SeSyncAgentPrivilege",
    L"SeSystemEnvironmentPrivilege", L"SeSystemProfilePrivilege", L"SeSystemtimePrivilege",
    L"SeTakeOwnershipPrivilege", L"SeTcbPrivilege", L"SeTimeZonePrivilege",
    L"SeTrustedCredManAccessPrivilege", L"SeUndockPrivilege",
};

// The right's own spelling, or empty for a name the system does not know.
std::wstring canonical_right(const std::wstring& right) {
  for (const wchar_t* known : kRights)
    if (detail::iequal(right, known)) return known;
  return std::wstring();
}

std::string store_path() { return detail::system_path("var/lib/krcore/accountrights"); }

std::string parent_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// True when the caller can change the store: write access to the file, or,
// while it does not exist, to the nearest folder that does.
bool store_writable() {
  std::string path = store_path();
  while (::faccessat(AT_FDCWD, path.c_str(), F_OK, AT_EACCESS) != 0 && path != "/")
    path = parent_of(path);
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

[[noreturn]] void fail(unsigned long code, const char* text) { throw krException(code, text, 4); }

using rights_table = std::vector<std::pair<std::wstring, std::wstring>>;  // SID, right

// No real policy comes near this: a line per account and right.
constexpr std::size_t kStoreLimit = 1 << 20;

// Reads the store into `table` (empty when there is none); 0, or the Win32
// code of a store that cannot be read or is refused, which is also logged.
unsigned long read_store(rights_table& table) {
  table.clear();
  const std::string path = store_path();
  detail::unique_fd fd;
  struct stat st {};
  std::string content;
  detail::file_result r = detail::open_untrusted(AT_FDCWD, path, detail::file_kind::regular,
                                                 detail::final_link::follow, fd, st);
  if (r.code == detail::kErrorFileNotFound || r.code == detail::kErrorPathNotFound) return 0;
  if (r) r = detail::read_bounded(fd.get(), path, kStoreLimit, content);
  if (!r) {
    if (detail::log_enabled(detail::kLogError))
      detail::log_entry(detail::kLogError,
                        L"lsa - the account-rights store " + detail::wide_from_utf8(r.diagnostic));
    return r.code;
  }
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    table.emplace_back(detail::wide_from_utf8(line.substr(0, space)),
                       detail::wide_from_utf8(line.substr(space + 1)));
  }
  return 0;
}

// Replaces the store with `table`; 0 or the Win32 code of the failure.
unsigned long write_store(const rights_table& table) {
  const std::string path = store_path();
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  std::string content = "# Account rights: one SID and one right per line.\n";
  for (const auto& [sid, right] : table)
    content += detail::utf8_from_wide(sid) + " " + detail::utf8_from_wide(right) + "\n";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return detail::last_errno_as_win32();
  const bool written = ::write(fd, content.data(), content.size()) ==
                           static_cast<ssize_t>(content.size()) &&
                       ::fchmod(fd, 0644) == 0 && ::fdatasync(fd) == 0;
  const unsigned long error = written ? 0 : detail::last_errno_as_win32();
  ::close(fd);
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) == 0) return 0;
  const unsigned long code = error ? error : detail::last_errno_as_win32();
  ::unlink(temp.c_str());
  return code;
}

// Makes the folder and its missing parents (0755: the policy is readable by
// every account, changeable by root).
void make_folders(const std::string& folder) {
  if (folder.empty() || folder == "/" || ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST)
    return;
  if (errno != ENOENT) return;
  make_folders(parent_of(folder));
  ::mkdir(folder.c_str(), 0755);
}

// Holds the store's lock file locked for a change.
class store_lock {
 public:
  store_lock() {
    const std::string path = store_path();
    make_folders(parent_of(path));
    _fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (_fd < 0 || ::flock(_fd, LOCK_EX) != 0) _error = detail::last_errno_as_win32();
  }
  ~store_lock() {
    if (_fd >= 0) ::close(_fd);
  }
  unsigned long error() const { return _error; }

 private:
  int _fd = -1;
  unsigned long _error = 0;
};

}  // namespace

void lsa::close() {
  delete static_cast<policy_handle*>(_handle);
  _handle = nullptr;
}

void lsa::open(unsigned long access) {
  if (detail::log_enabled(detail::kLogNormal)) detail::log_entry(detail::kLogNormal, L"lsa::open() called.");
  close();
  if ((access & ~kReadOnlyAccess) != 0 && !store_writable()) {
    char text[96];
    std::snprintf(text, sizeof text, "lsa::open() LsaOpenPolicy() call failed. Error Code: %d",
                  static_cast<int>(detail::kErrorAccessDenied));
    if (detail::log_enabled(detail::kLogNormal))
      detail::log_entry(detail::kLogNormal, detail::wide_from_utf8(text));
    fail(detail::kErrorAccessDenied, text);
  }
  _handle = new policy_handle{access};
}

std::wstring lsa::getdomainorworkgroupname(bool& isWorkgroup) {
  if (!_handle) {
    const char* text =
        "lsa::getdomainorworkgroupname() LsaQueryInformationPolicy() call failed. Error Code: 6";
    if (detail::log_enabled(detail::kLogNormal))
      detail::log_entry(detail::kLogNormal, detail::wide_from_utf8(text));
    fail(detail::kErrorInvalidHandle, text);
  }
  const detail::samba_facts facts = detail::read_samba_facts();
  isWorkgroup = !facts.domain_member;
  return facts.workgroup;
}

std::wstring lsa::getdnsdomainname() {
  if (!_handle)
    fail(detail::kErrorInvalidHandle,
         "lsa::getdnsdomainname():: LsaQueryInformationPolicy(PolicyDnsDomainInformation) failed.");
  const detail::samba_facts facts = detail::read_samba_facts();
  // Only Active Directory domains have DNS names; an NT4-style domain
  // (security = domain) has none.
  if (!facts.domain_controller && facts.security != L"ads") return std::wstring();
  return detail::lower_case(facts.realm);
}

void lsa::modifyrightforuser(const std::wstring& account, const std::wstring& right, bool add) {
  const char* text = add ? "lsa::addrighttouser() LsaAddAccountRights() failed."
                         : "lsa::addrighttouser() LsaRemoveAccountRights() failed.";
  const auto* handle = static_cast<policy_handle*>(_handle);
  if (!handle) fail(detail::kErrorInvalidHandle, text);
  const std::wstring name = detail::rights_account_name(account);
  CSid sid;
  if (!sid.LoadAccount(name.c_str())) fail(detail::kErrorNoneMapped, text);
  const std::wstring known = canonical_right(right);
  if (known.empty()) fail(detail::kErrorNoSuchPrivilege, text);
  if (!(handle->access & kCreateAccount)) fail(detail::kErrorAccessDenied, text);

  store_lock lock;
  if (lock.error() != 0) fail(lock.error(), text);
  rights_table table;
  if (const unsigned long error = read_store(table)) fail(error, text);
  auto held = table.begin();
  while (held != table.end() && !(held->first == sid.Sid() && held->second == known)) ++held;
  if (add == (held != table.end())) return;  // already as asked
  if (add) table.emplace_back(sid.Sid(), known);
  else table.erase(held);
  const unsigned long error = write_store(table);
  if (error != 0) fail(error, text);
}

std::vector<std::wstring> lsa::enumerateaccountrights(const std::wstring& account) {
  const char* text = "lsa::enumerateaccountrights() LsaEnumerateAccountRights() failed.";
  if (!_handle) fail(detail::kErrorInvalidHandle, text);
  CSid sid;
  if (!sid.LoadAccount(detail::rights_account_name(account).c_str())) fail(detail::kErrorNoneMapped, text);
  rights_table table;
  if (const unsigned long error = read_store(table)) fail(error, text);
  std::vector<std::wstring> rights;
  for (const auto& [holder, right] : table)
    if (holder == sid.Sid()) rights.push_back(right);
  return rights;
}

}  // namespace krCore
