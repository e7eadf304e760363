// Access lists, privileges and account rights on Windows, as a program sees
// them through the library and checks them with the system's own calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <krcore/exceptions.h>
#include <krcore/security.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;

// A folder of the test's own under the temporary folder.
class temp_folder {
 public:
  temp_folder() {
    _path = fs::temp_directory_path() / fs::unique_path("qmcore-sec-%%%%-%%%%");
    fs::create_directories(_path);
  }
  ~temp_folder() {
    boost::system::error_code ignored;
    fs::remove_all(_path, ignored);
  }
  fs::path file(const wchar_t* name) const {
    const fs::path p = _path / name;
    HANDLE h = CreateFileW(p.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    return p;
  }
  const fs::path& path() const { return _path; }

 private:
  fs::path _path;
};

struct read_entry {
  std::wstring sid;
  ACCESS_MASK mask;
  BYTE flags;
  bool operator==(const read_entry& o) const {
    return sid == o.sid && mask == o.mask && flags == o.flags;
  }
};

struct read_descriptor {
  std::vector<read_entry> entries;
  bool is_protected = false;
  std::wstring owner;
};

std::wstring sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (!sid || !ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring out = text;
  LocalFree(text);
  return out;
}

// The object's DACL and owner as the system reads them back.
read_descriptor read_back(const fs::path& path) {
  read_descriptor out;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &sd),
            0u);
  if (!sd) return out;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  out.is_protected = (control & SE_DACL_PROTECTED) != 0;
  out.owner = sid_text(owner);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    GetAce(dacl, i, reinterpret_cast<void**>(&ace));
    out.entries.push_back({sid_text(&ace->SidStart), ace->Mask, ace->Header.AceFlags});
  }
  LocalFree(sd);
  return out;
}

// Wine keeps no access list of a file: it reads back the one its Unix mode
// bits give. Asked of the system directly, with a list that grants only
// the administrators.
bool system_keeps_access_lists(const temp_folder& folder) {
  const fs::path probe = folder.file(L"probe");
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(admins);
  PACL acl = nullptr;
  SetEntriesInAclW(1, &entry, nullptr, &acl);
  SetNamedSecurityInfoW(const_cast<LPWSTR>(probe.wstring().c_str()), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, acl, nullptr);
  LocalFree(acl);
  const read_descriptor back = read_back(probe);
  return back.entries.size() == 1 && back.entries[0].sid == L"S-1-5-32-544";
}

unsigned int apply_code(const std::function<void()>& apply) {
  try {
    apply();
  } catch (const krException& e) {
    return e.code();
  }
  return 0;
}

TEST(AccessListsOnWindows, AnAppliedListReadsBackAsBuilt) {
  temp_folder folder;
  if (!system_keeps_access_lists(folder))
    GTEST_SKIP() << "Wine gap: a file keeps no access list (SetNamedSecurityInfoW succeeds, "
                    "GetNamedSecurityInfoW reads the Unix mode bits' list)";
  krCore::CDacl dacl;
  krCore::AtlUtils::CreateAdminDACL(dacl, true, nullptr);
  ASSERT_GE(dacl.GetAceCount(), 2u);
  const fs::path file = folder.file(L"by-path");
  dacl.apply(file);
  read_descriptor back = read_back(file);
  EXPECT_TRUE(back.is_protected);
  std::vector<read_entry> expected;
  for (const auto& e : dacl.entries()) expected.push_back({e.sid.Sid(), e.mask, e.flags});
  EXPECT_EQ(back.entries, expected);

  // The descriptor form through a C runtime descriptor, with the owner.
  const fs::path other = folder.file(L"by-descriptor");
  const int fd = _wopen(other.wstring().c_str(), _O_RDWR);
  ASSERT_GE(fd, 0);
  krCore::CDacl only_system;
  only_system.AddAllowedAce(krCore::Sids::System(), krCore::FILE_ALL_ACCESS_MASK);
  krCore::CSecurityDesc sd;
  sd.SetDacl(only_system);
  sd.SetOwner(krCore::Sids::Admins());
  EXPECT_EQ(apply_code([&] { sd.apply(fd); }), 0u);
  _close(fd);
  back = read_back(other);
  ASSERT_EQ(back.entries.size(), 1u);
  EXPECT_EQ(back.entries[0].sid, L"S-1-5-18");
  EXPECT_EQ(back.owner, L"S-1-5-32-544");
}

TEST(AccessListsOnWindows, MissingObjectsAndBadDescriptorsAreRefusedWithTheirCodes) {
  temp_folder folder;
  krCore::CDacl dacl;
  dacl.AddAllowedAce(krCore::Sids::Admins(), krCore::FILE_ALL_ACCESS_MASK);
  krCore::CSecurityDesc sd;
  sd.SetDacl(dacl);
  EXPECT_EQ(apply_code([&] { dacl.apply(folder.path() / L"missing"); }), 2u);
  EXPECT_EQ(apply_code([&] { dacl.apply(folder.path() / L"missing" / L"file"); }), 2u);
  EXPECT_EQ(apply_code([&] { sd.apply(folder.path() / L"missing"); }), 2u);
  EXPECT_EQ(apply_code([&] { dacl.apply(-1); }), 6u);
  EXPECT_EQ(apply_code([&] { sd.apply(12345); }), 6u);
  // An existing file and folder take the list.
  EXPECT_EQ(apply_code([&] { dacl.apply(folder.file(L"present")); }), 0u);
  EXPECT_EQ(apply_code([&] { sd.apply(folder.path()); }), 0u);
}

TEST(AccessListsOnWindows, ALinkIsNeverFollowed) {
  temp_folder folder;
  const fs::path target = folder.file(L"target");
  const fs::path link = folder.path() / L"link";
  CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), 0);
  const DWORD attributes = GetFileAttributesW(link.wstring().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    GTEST_SKIP() << "Wine gap: CreateSymbolicLinkW reports success but makes no link";
  krCore::CDacl dacl;
  dacl.AddAllowedAce(krCore::Sids::System(), krCore::FILE_ALL_ACCESS_MASK);
  EXPECT_EQ(apply_code([&] { dacl.apply(link); }), 1920u);
  krCore::CSecurityDesc sd;
  sd.SetDacl(dacl);
  EXPECT_EQ(apply_code([&] { sd.apply(link); }), 1920u);
}

// Whether the process token holds a privilege, and whether it is enabled.
struct privilege_state {
  bool held = false;
  bool enabled = false;
};

privilege_state token_privilege(const wchar_t* name) {
  privilege_state out;
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) return out;
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size);
  CloseHandle(token);
  const auto* list = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
    if (list->Privileges[i].Luid.LowPart == luid.LowPart &&
        list->Privileges[i].Luid.HighPart == luid.HighPart) {
      out.held = true;
      out.enabled = (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return out;
}

TEST(PrivilegesOnWindows, AScopeEnablesWhatTheTokenHoldsAndRestoresItsState) {
  const wchar_t* name = L"SeBackupPrivilege";
  const privilege_state before = token_privilege(name);
  ASSERT_TRUE(before.held) << "the test's token holds no SeBackupPrivilege";
  ASSERT_FALSE(before.enabled);
  {
    krCore::auto_privilege outer(L"sebackupprivilege");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(token_privilege(name).enabled);
    {
      // An overlapping scope (another thread's, on the same process token)
      // leaves it enabled when it ends first.
      krCore::auto_privilege inner(name);
      EXPECT_EQ(GetLastError(), 0u);
    }
    EXPECT_TRUE(token_privilege(name).enabled);
    outer.set(false);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(token_privilege(name).enabled);
    outer.set(true);
    EXPECT_TRUE(token_privilege(name).enabled);
  }
  EXPECT_FALSE(token_privilege(name).enabled);

  // What was enabled before stays enabled after the scope.
  const wchar_t* standing = L"SeChangeNotifyPrivilege";
  ASSERT_TRUE(token_privilege(standing).enabled);
  { krCore::auto_privilege again(standing); }
  EXPECT_TRUE(token_privilege(standing).enabled);
}

TEST(PrivilegesOnWindows, UnknownAndUnheldPrivilegesChangeNothing) {
  {
    krCore::auto_privilege unknown(L"SeNoSuchPrivilege");
    EXPECT_EQ(GetLastError(), 1313u);
  }
  const wchar_t* unheld = L"SeCreateTokenPrivilege";
  if (token_privilege(unheld).held) GTEST_SKIP() << "the test's token holds SeCreateTokenPrivilege";
  krCore::auto_privilege scope(unheld);
  EXPECT_EQ(GetLastError(), 1300u);
  EXPECT_FALSE(token_privilege(unheld).held);
}

std::wstring lsa_text(const LSA_UNICODE_STRING& s) {
  return s.Buffer ? std::wstring(s.Buffer, s.Length / sizeof(wchar_t)) : std::wstring();
}

TEST(PolicyOnWindows, DomainFactsAreThePolicys) {
  LSA_OBJECT_ATTRIBUTES attributes{};
  LSA_HANDLE policy = nullptr;
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), 0);
  void* info = nullptr;
  ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &info), 0);
  const std::wstring name = lsa_text(static_cast<POLICY_PRIMARY_DOMAIN_INFO*>(info)->Name);
  const bool workgroup = static_cast<POLICY_PRIMARY_DOMAIN_INFO*>(info)->Sid == nullptr;
  LsaFreeMemory(info);
  ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyDnsDomainInformation, &info), 0);
  const std::wstring dns = lsa_text(static_cast<POLICY_DNS_DOMAIN_INFO*>(info)->DnsDomainName);
  LsaFreeMemory(info);
  LsaClose(policy);

  krCore::lsa lsa;
  lsa.openforread();
  bool is_workgroup = !workgroup;
  EXPECT_EQ(lsa.getdomainorworkgroupname(is_workgroup), name);
  EXPECT_EQ(is_workgroup, workgroup);
  EXPECT_EQ(lsa.getdnsdomainname(), dns);
  lsa.close();
  try {
    lsa.getdnsdomainname();
    ADD_FAILURE() << "a closed policy answered";
  } catch (const krException& e) {
    EXPECT_EQ(e.code(), 6u);
  }
}

// Wine's policy keeps no rights: LsaAddAccountRights reports success and
// LsaEnumerateAccountRights then finds none. Asked of the system directly.
bool system_keeps_rights() {
  LSA_OBJECT_ATTRIBUTES attributes{};
  LSA_HANDLE policy = nullptr;
  if (LsaOpenPolicy(nullptr, &attributes, POLICY_ALL_ACCESS, &policy) != 0) return false;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &size);
  wchar_t right[] = L"SeBatchLogonRight";
  LSA_UNICODE_STRING text{sizeof right - sizeof(wchar_t), sizeof right, right};
  LsaAddAccountRights(policy, sid, &text, 1);
  PLSA_UNICODE_STRING rights = nullptr;
  ULONG count = 0;
  const bool kept = LsaEnumerateAccountRights(policy, sid, &rights, &count) == 0 && count > 0;
  if (rights) LsaFreeMemory(rights);
  LsaRemoveAccountRights(policy, sid, FALSE, &text, 1);
  LsaClose(policy);
  return kept;
}

TEST(PolicyOnWindows, ARightIsAddedListedAndRemoved) {
  krCore::lsa lsa;
  lsa.openfullaccess();
  try {
    lsa.modifyrightforuser(L"qmcore-no-such-account-49", L"SeServiceLogonRight", true);
    ADD_FAILURE() << "an unknown account got a right";
  } catch (const krException& e) {
    EXPECT_EQ(e.code(), 1332u);
  }
  if (!system_keeps_rights())
    GTEST_SKIP() << "Wine gap: the policy keeps no account rights (LsaAddAccountRights succeeds, "
                    "LsaEnumerateAccountRights finds none)";
  const std::wstring account = L"BUILTIN\\Users";
  const std::wstring right = L"SeServiceLogonRight";
  lsa.modifyrightforuser(account, right, true);
  std::vector<std::wstring> rights = lsa.enumerateaccountrights(account);
  EXPECT_NE(std::find(rights.begin(), rights.end(), right), rights.end());
  lsa.modifyrightforuser(account, right, false);
  rights = lsa.enumerateaccountrights(account);
  EXPECT_EQ(std::find(rights.begin(), rights.end(), right), rights.end());
}

}  // namespace
