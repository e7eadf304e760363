// The security-and-identity family: machine and account facts, security
// identifiers, administrator tests, privileges, account rights and
// access-control lists.
//
// Accounts and security identifiers (SIDs) on Linux follow one table, so
// that every identity the agent reasons about has exactly one SID:
//
//   S-1-22-1-<uid>          a user of the account database
//   S-1-22-2-<gid>          a group of the account database
//   S-1-5-18                the local system account: root (uid 0). Root's
//                           SID is always this one, never S-1-22-1-0.
//   S-1-5-32-544            the administrators' group: the group "sudo",
//                           else "wheel", else "admin" (the first that
//                           exists); its SID is always this one.
//   S-1-5-21-<a>-<b>-<c>    the machine, derived from /etc/machine-id
//   S-1-5-21-<a>-<b>-<c>-500  the built-in Administrator: root as well
//
// Names come from the account database through NSS (so directory users that
// sssd or winbind provide resolve too). "LocalSystem", ".\LocalSystem" and
// "NT AUTHORITY\System" name root; "Administrators" and
// "BUILTIN\Administrators" name the administrators' group; a name of the form
// ".\name" or "<COMPUTERNAME>\name" is a local name.
//
// On Windows the table does not apply: a SID is the system's own, names and
// SIDs resolve through the system's account lookup, the privileges, rights
// and access lists are the system's, and what each declaration below says
// of Linux is said of Windows where it differs.
#pragma once

#include <krcore/foundation.h>
// The family's other halves: protected strings and credentials, and the
// signature checks of executables.
#include <krcore/protection.h>
#include <krcore/signatures.h>

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// On Windows these records are the system's own (<windows.h>); the
// declarations below stand in for them elsewhere.
#if !defined(_WIN32)

// ---------------------------------------------------------------------------
// Records of the platform calls the agent's modules were written against
// (global namespace).
// ---------------------------------------------------------------------------

typedef DWORD ACCESS_MASK;

// The extended operating-system version record. On Linux the version numbers
// are those of the kernel release, szCSDVersion is the distribution's name
// for the installed release, and wProductType is 1 (workstation), 2 (domain
// controller) or 3 (server), decided as the machine facts decide OSTYPE.
typedef struct _OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  wchar_t szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
} OSVERSIONINFOEXW;

#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

typedef enum _TOKEN_ELEVATION_TYPE {
  TokenElevationTypeDefault = 1,
  TokenElevationTypeFull,
  TokenElevationTypeLimited
} TOKEN_ELEVATION_TYPE;

#endif  // !_WIN32

namespace krCore {

// ---------------------------------------------------------------------------
// Machine and account facts.
// ---------------------------------------------------------------------------

// The computer's NetBIOS-style name: the host name up to its first dot, in
// upper case, cut to at most 15 characters. When the host name cannot be
// read, `throwonerror` true throws w32_exception with the system's code;
// false gives the empty text. Thread-safe.
KRCORE_API std::wstring GetComputerNameW(bool throwonerror);

// The calling thread's user (its effective user id) in a name format:
// 2 "DOMAIN\user" (the domain of a local account is the computer name),
// 3 the display name (the account's full name, else its name),
// 8 "user@realm" (only when the machine is a domain member). Any other
// format, or an account the database does not know, fails with 1332; with
// `throwonerror` true that throws w32_exception, with false it gives the
// empty text. Thread-safe.
KRCORE_API std::wstring GetThreadUserNameEx(int format, bool throwonerror);
// Format 2 (DOMAIN\user).
KRCORE_API std::wstring GetThreadUserNameEx(bool throwonerror);

class globals;
KRCORE_LIBRARY_SINGLETON(globals);

// The machine's facts, collected once into text properties under fixed
// upper-case keys (COMPUTERNAME, FQDNCOMPUTERNAME, HOSTNAMECOMPUTERNAME,
// FLATDOMAINNAME, DOMAINNAME, DNSDOMAINNAME, ISSTANDALONE, CANONICALNAME,
// DISTINGUISHEDNAME, OSVERSION, OSTYPE, ISWOW64, NUMPROCESSORS,
// OS_PROCESSOR_ARCHITECTURE, PROCESSTOKENUSER, COMPUTERTEXTUALSID).
// The domain facts come from Samba's configuration (a machine without one is
// a stand-alone member of "WORKGROUP"); there is no directory lookup, so
// CANONICALNAME and DISTINGUISHEDNAME are empty or absent.
// Reach it through singleton<globals>::instance(); the constructor collects.
// All members are thread-safe; close() must not race with users of the
// instance.
class KRCORE_API globals : public singleton<globals> {
  friend class singleton<globals>;

 public:
  ~globals() override;

  // Destroys the instance under the singleton lock; the next instance()
  // collects anew.
  static void close();

  // Collects the facts again when the last collection did not finish.
  void initialize();
  // True once a collection has finished.
  bool initialized() const;
  // Copies the value of `key` (case-sensitive) and returns true; false, with
  // `value` untouched, for an unknown key.
  bool getproperty(const std::wstring& key, std::wstring& value) const;

  // "LocalSystem" and "NT AUTHORITY\System".
  static std::wstring LocalSystemAccount();
  static std::wstring NTAuthLocalSystemAccount();
  // True when `account` is one of "LocalSystem", ".\LocalSystem" and
  // "NT AUTHORITY\System", compared without regard to case. Null is false.
  static bool IsLocalSystemAccount(const wchar_t* account);
  static bool IsLocalSystemAccount(const std::wstring& account);
  // "NT AUTHORITY\System" for a local-system spelling (logged at verbose),
  // else `account` unchanged.
  static std::wstring GetSidLookupName(const std::wstring& account);
  // The textual SID of `account` ("domain\account" when `domain` is not
  // empty). The computer's own name gives the machine SID. Throws
  // w32_exception 1332 for a name no account has.
  static std::wstring getaccounttextualsid(const std::wstring& account,
                                           const std::wstring& domain);

 private:
  globals();
  void InitializeImpl();
  bool getpropertyinternal(const std::wstring& key, std::wstring& value) const;

  std::atomic<std::int32_t> _initialized{0};
  std::map<std::wstring, std::wstring> _properties;
};

// ---------------------------------------------------------------------------
// Security identifiers.
// ---------------------------------------------------------------------------

namespace detail {
struct sid_access;
}

// A security identifier with its account, after the table at the top of this
// header. A value type; not synchronised.
class KRCORE_API CSid {
 public:
  // An invalid SID (IsValid() false, Sid() empty).
  CSid();
  // Looks the account up; throws w32_exception 1332 when no account has the
  // name. `system` must be null, empty, "." or the computer name (else
  // 1722: there is no remote lookup).
  explicit CSid(const wchar_t* account, const wchar_t* system = nullptr);
  explicit CSid(const std::wstring& account);

  // Parses a textual SID ("S-1-5-32-544"); throws w32_exception 1337 for
  // text that is not one. The SID of a Linux identity is given in its one
  // form of the table (S-1-22-1-0 becomes S-1-5-18).
  static CSid FromString(const std::wstring& text);
  // The SID of a user or group id. On Windows, where accounts have no such
  // ids, both give an invalid SID (last error 50) and never throw.
  static CSid FromUid(unsigned int uid);
  static CSid FromGid(unsigned int gid);
  // The calling thread's user (its effective user id).
  static CSid CurrentUser();

  // As the constructor; false (last error set to the code) instead of a
  // throw.
  bool LoadAccount(const wchar_t* account, const wchar_t* system = nullptr);

  bool IsValid() const { return !_sid.empty(); }
  // The textual form; empty when invalid.
  const std::wstring& Sid() const { return _sid; }
  // The account's name and domain; empty when the SID names no account.
  const std::wstring& AccountName() const { return _account; }
  const std::wstring& Domain() const { return _domain; }
  // The Linux identity: true with the id and whether it is a group when the
  // SID stands for a user or group of the account database. Always false on
  // Windows.
  bool unix_id(bool& isGroup, unsigned int& id) const;

  bool operator==(const CSid& other) const { return _sid == other._sid; }
  bool operator!=(const CSid& other) const { return _sid != other._sid; }
  bool operator<(const CSid& other) const { return _sid < other._sid; }

 private:
  friend struct detail::sid_access;
  std::wstring _sid;
  std::wstring _account;
  std::wstring _domain;
  int _kind = 0;  // 0 none, 1 user, 2 group
  unsigned int _id = 0;
};

// The well-known identities. Thread-safe (the account lookups are
// reentrant); Admins falls back to the fixed SID when the machine has no
// administrators' group. They throw only std::bad_alloc.
namespace Sids {
KRCORE_API CSid Admins();  // S-1-5-32-544
KRCORE_API CSid System();  // S-1-5-18
}  // namespace Sids

// ---------------------------------------------------------------------------
// Access-control lists as POSIX ACLs.
// ---------------------------------------------------------------------------

// Access masks and inheritance flags of access-allowed entries.
constexpr ACCESS_MASK FILE_ALL_ACCESS_MASK = 0x1F01FF;
constexpr unsigned char OBJECT_INHERIT_ACE_FLAG = 0x1;
constexpr unsigned char CONTAINER_INHERIT_ACE_FLAG = 0x2;
constexpr unsigned char INHERIT_ONLY_ACE_FLAG = 0x8;

// A list of access-allowed entries built in memory. Applying it gives each
// entry's user or group a named POSIX ACL entry whose permissions follow the
// mask (read: 0x1 or GENERIC_READ; write: 0x2, 0x4 or GENERIC_WRITE;
// execute: 0x20 or GENERIC_EXECUTE; GENERIC_ALL or the full file mask: all
// three). The owner and owning group get what their entries grant, "other"
// gets nothing. On a folder the entries with object or container
// inheritance form its default ACL too, so everything created inside
// inherits them; inherit-only entries go only there. The administrators'
// group's entry is written for root, never as a group entry: its members
// are limited until they run as root, so only root gets what it grants. An
// entry whose SID has no Linux identity (the machine SID) is left out. A
// value type; not synchronised.
class KRCORE_API CDacl {
 public:
  struct entry {
    CSid sid;
    ACCESS_MASK mask;
    unsigned char flags;
  };

  // Appends an entry; false for an invalid SID.
  bool AddAllowedAce(const CSid& sid, ACCESS_MASK mask, unsigned char flags = 0);
  unsigned int GetAceCount() const { return static_cast<unsigned int>(_entries.size()); }
  const std::vector<entry>& entries() const { return _entries; }
  void RemoveAllAces() { _entries.clear(); }

  // Replaces the access ACL (and, on a folder, the default ACL) of the
  // object. On Windows it replaces the object's DACL with these entries as
  // they are (masks and inheritance flags as given), protected from
  // inheritance from the parent; `fd` is a C runtime descriptor. Throws krException with the Win32 code of the failing call (50
  // for a file system without ACL support, 2 for a missing path, 5 when the
  // caller may not change it, 1920 when the path is a symbolic link, which
  // is never followed).
  void apply(const boost::filesystem::path& path) const;
  void apply(int fd) const;

 private:
  std::vector<entry> _entries;
};

// A security descriptor: an optional owner, owning group and DACL. Applying
// it first changes the owner (an owner that is a group makes root the owner
// and that group the owning group; the administrators' group makes root the
// owner and leaves the owning group as it is), then the group (the
// administrators' group is never made the owning group), then the DACL. On
// Windows the owner and group are the SIDs as given, set with the DACL in
// one call. Same errors as CDacl::apply. A value type;
// not synchronised.
class KRCORE_API CSecurityDesc {
 public:
  void SetDacl(const CDacl& dacl);
  bool GetDacl(CDacl* dacl) const;
  void SetOwner(const CSid& owner);
  bool GetOwner(CSid* owner) const;
  void SetGroup(const CSid& group);
  bool GetGroup(CSid* group) const;

  void apply(const boost::filesystem::path& path) const;
  void apply(int fd) const;

 private:
  CDacl _dacl;
  CSid _owner;
  CSid _group;
  bool _hasDacl = false;
};

// Builders of descriptors that give administrators and the system full
// control of what the agent creates. Thread-safe: they keep no state and
// look accounts up with the reentrant calls; the descriptor being filled
// belongs to the caller's thread for the call.
class KRCORE_API AtlUtils {
 public:
  // Fills `dacl` with full-access, inheriting entries for the administrators'
  // group and the local system account, then the calling thread's user when
  // `addCurrentUser` (unless it is the local system account), then
  // `accountName` when given and not one of those. A name that cannot be
  // resolved is logged and left out; never throws for it.
  static void CreateAdminDACL(CDacl& dacl, bool addCurrentUser, const wchar_t* accountName);
  // The DACL above on `sd`; with `ownerAdmins` the owner becomes the
  // administrators' group (root on Linux).
  static void CreateAdminSD(CSecurityDesc& sd, bool addCurrentUser, bool ownerAdmins,
                            const wchar_t* accountName);
};

// ---------------------------------------------------------------------------
// Privileges.
// ---------------------------------------------------------------------------

// Switches a named privilege on for a scope. On Linux a privilege is the set
// of capabilities that grant the same power (SeDebugPrivilege:
// CAP_SYS_PTRACE, SeBackupPrivilege: CAP_DAC_READ_SEARCH, SeTcbPrivilege:
// CAP_SYS_ADMIN, ...); names are matched without regard to case.
// set(true) raises those that are permitted but not effective into the
// calling thread's effective set and records the raise with the thread.
// set(false) (and the destructor), from any thread, lowers on each thread
// the object raised on exactly what it raised there, so what was effective
// before stays; threads started inside the scope lose what they copied from
// it; the library's own threads never copy it. Lowering on another thread
// is a signal, SIGRTMAX-4 (the host's own use of it goes on to the host's
// handler, installed before the library's): a thread that blocks it keeps
// what it copied, and the call reports 156 at once and logs the thread.
// Last error: 0 when done; 1313 for a name the system does not know
// (nothing is logged); 1300 when the privilege is not held: a known name
// without a capability counterpart, or capabilities outside the permitted
// set (nothing is raised, nothing is logged). Failures of the calls
// themselves are logged. Never throws. Thread-safe; set() calls on one
// object are serialised.
// On Windows the privilege is enabled in the token (the thread's while it
// impersonates, else the process's), 1300 when the token does not hold it;
// set(false) disables only what the object enabled, and on the process's
// token only when no other live object's scope still needs it.
class KRCORE_API auto_privilege {
 public:
  explicit auto_privilege(const std::wstring& privilege);
  // `openasself` is kept for the caller's code; Linux has no thread token.
  auto_privilege(const std::wstring& privilege, bool openasself);
  ~auto_privilege();
  auto_privilege(const auto_privilege&) = delete;
  auto_privilege& operator=(const auto_privilege&) = delete;

  void set(bool enable);

 private:
  std::wstring _privilege;
  // Which token to open is a choice only where threads impersonate; here it
  // is kept for the object's layout.
  [[maybe_unused]] bool _openAsSelf = false;
  std::mutex _mutex;
  // Kept for the object's layout: raises are recorded process-wide, where
  // another thread's lowering finds them.
  std::vector<std::pair<long, std::uint64_t>> _raised;
};

// ---------------------------------------------------------------------------
// The local security authority: domain facts and account rights.
// ---------------------------------------------------------------------------

// The machine's security policy. Domain facts come from Samba's
// configuration. Account rights (logon rights such as SeServiceLogonRight and
// privilege names) are kept in /var/lib/krcore/accountrights, one line per
// SID and right, changed under an exclusive lock by writing a temporary file
// and renaming it. Linux does not enforce these rights: they are policy for
// the agent's own decisions. On Windows the policy, its domain facts and
// the rights are the system's (codes from LsaNtStatusToWinError). Not
// copyable; one thread at a time.
class KRCORE_API lsa : private noncopyable_base {
 public:
  lsa();
  ~lsa();
  void close();

  // Opens the policy with an access mask. Any access beyond viewing and
  // looking up needs write access to the rights store (else 5). Failure is
  // logged and thrown as krException.
  void open(unsigned long access);
  void openforread();     // open(1)
  void openfullaccess();  // open(0xF0FFF)

  // The domain or workgroup name; `isWorkgroup` true for a workgroup.
  std::wstring getdomainorworkgroupname(bool& isWorkgroup);
  // The DNS domain name (the Kerberos realm in lower case); empty for a
  // workgroup or a domain without one.
  std::wstring getdnsdomainname();
  // Grants (`add` true) or withdraws one right of an account. Throws
  // krException: 1313 for an unknown right, 1332 for an unknown account, 5
  // when not opened with full access, 6 when closed.
  void modifyrightforuser(const std::wstring& account, const std::wstring& right, bool add);
  // The rights the account holds, in the order granted. Throws like
  // modifyrightforuser (needs only an open policy).
  std::vector<std::wstring> enumerateaccountrights(const std::wstring& account);

 private:
  void* _handle = nullptr;
};

// ---------------------------------------------------------------------------
// Administrator tests. All thread-safe: each reads the system's state
// afresh and keeps none. Errors as each says; is_uac_enabled's
// w32_exception passes through isadmin_consider_uac.
// ---------------------------------------------------------------------------

// The running system's version record. Throws krException when it cannot be
// read.
KRCORE_API OSVERSIONINFOEXW GetOSVersion();
// True: every supported system separates an administrator from an elevated
// one (root).
KRCORE_API bool IsVistaOrLater();
// The system's "EnableLUA" policy value; missing or not a DWORD reads as
// the platform's default: enabled on Linux, disabled on Windows. Throws w32_exception when the policy key
// cannot be opened.
KRCORE_API bool is_uac_enabled();
// Whether the calling user is an administrator, taking the elevation into
// account when the policy asks for it.
KRCORE_API bool isadmin_consider_uac();
// 0 with `isBuiltinAdmin` set when the calling user is the built-in
// Administrator (root); a non-zero code when the machine SID cannot be read.
KRCORE_API unsigned long isuserbuiltinadminaccount(bool& isBuiltinAdmin);
// True for root and for members of the administrators' group (the
// effective group and the supplementary groups).
KRCORE_API bool isuserprocessadminequivalent();
// 2 (full) with effective uid 0, 3 (limited) for another member of the
// administrators' group, else 1 (default). On Windows the process token's
// elevation type; krException when the token cannot be read.
KRCORE_API TOKEN_ELEVATION_TYPE getprocesstokenelevationtype();

}  // namespace krCore
