// Security identifiers over real accounts and over account files, and the
// administrator tests as root and as unprivileged accounts.
#include <grp.h>

#include "security_support.h"

namespace {

using namespace sectest;
using krCore::CSid;

gid_t sudo_gid() {
  const group* g = ::getgrnam("sudo");
  return g ? g->gr_gid : 0;
}

TEST(Sids, NamesAndSidsRoundTripForRealAccounts) {
  SKIP_UNLESS_TEST_ACCOUNTS();
  const std::wstring computer = krCore::GetComputerNameW(true);
  struct round_trip {
    std::wstring name, sid, back;
  };
  const std::vector<round_trip> cases = {
      {L"root", L"S-1-5-18", L"root"},
      {test_accounts::wuser(), L"S-1-22-1-" + std::to_wstring(test_accounts::uid()),
       test_accounts::wuser()},
      {test_accounts::wgroup(), L"S-1-22-2-" + std::to_wstring(test_accounts::gid()),
       test_accounts::wgroup()},
      {L"sudo", L"S-1-5-32-544", L"sudo"},
      // Other spellings of the same accounts.
      {L"NT AUTHORITY\\System", L"S-1-5-18", L"root"},
      {L"LocalSystem", L"S-1-5-18", L"root"},
      {L"BUILTIN\\Administrators", L"S-1-5-32-544", L"sudo"},
      {L".\\" + test_accounts::wuser(), L"S-1-22-1-" + std::to_wstring(test_accounts::uid()),
       test_accounts::wuser()},
      {computer + L"\\" + test_accounts::wuser(),
       L"S-1-22-1-" + std::to_wstring(test_accounts::uid()), test_accounts::wuser()},
  };
  for (const round_trip& c : cases) {
    const CSid byName(c.name);
    EXPECT_EQ(byName.Sid(), c.sid) << c.name;
    const CSid bySid = CSid::FromString(c.sid);
    EXPECT_EQ(bySid.AccountName(), c.back) << c.name;
    EXPECT_EQ(bySid, byName) << c.name;
  }
  EXPECT_EQ(CSid(L"sudo").Domain(), L"BUILTIN");
  EXPECT_EQ(CSid(L"root").Domain(), computer);
}

TEST(Sids, EachIdentityHasOneSid) {
  // Root's Unix-scheme SID and the built-in Administrator are the system.
  EXPECT_EQ(CSid::FromString(L"S-1-22-1-0"), krCore::Sids::System());
  const std::wstring machine = krCore::globals::getaccounttextualsid(
      krCore::GetComputerNameW(true), L"");
  EXPECT_EQ(machine.rfind(L"S-1-5-21-", 0), 0u);
  EXPECT_EQ(CSid::FromString(machine + L"-500"), krCore::Sids::System());
  EXPECT_NE(CSid::FromString(machine + L"-501"), krCore::Sids::System());
  if (sudo_gid() != 0) {
    EXPECT_EQ(CSid::FromGid(sudo_gid()), krCore::Sids::Admins());
  }
  bool isGroup = true;
  unsigned int id = 1;
  ASSERT_TRUE(krCore::Sids::System().unix_id(isGroup, id));
  EXPECT_FALSE(isGroup);
  EXPECT_EQ(id, 0u);
  // Text that is no SID, and SIDs of no local identity.
  for (const wchar_t* bad : {L"S-1", L"S-2-5-18", L"X-1-5-18", L"S-1-5--18", L"S-1-5-99999999999"})
    EXPECT_EQ(w32_code([&] { CSid::FromString(bad); }), 1337u) << bad;
  EXPECT_FALSE(CSid::FromString(L"S-1-5-32-545").unix_id(isGroup, id));
}

TEST(Sids, UnknownNamesAndRemoteSystemsFail) {
  SKIP_UNLESS_TEST_ACCOUNTS();
  EXPECT_EQ(w32_code([] { CSid(L"no-such-account-here"); }), 1332u);
  // A foreign domain never falls back to a local account of the same name.
  EXPECT_EQ(w32_code([] { CSid(L"OTHERDOM\\" + test_accounts::wuser()); }), 1332u);
  EXPECT_EQ(w32_code([] { CSid(L"BUILTIN\\root"); }), 1332u);
  EXPECT_EQ(w32_code([] { CSid(L"root", L"FARAWAY"); }), 1722u);
  CSid sid;
  EXPECT_FALSE(sid.LoadAccount(L"no-such-account-here"));
  EXPECT_EQ(GetLastError(), 1332u);
  EXPECT_FALSE(sid.IsValid());
}

TEST(Sids, AccountFilesAndAdministratorsGroupChoice) {
  system_root root;
  root.write("etc/passwd", "root:x:0:0:root:/root:/bin/sh\nalice:x:1500:1500:Alice A,,,:/h:/bin/sh\n");
  root.write("etc/group", "root:x:0:\nwheel:x:10:alice\nops:x:20:\n");
  krCore::detail::set_account_files((root.path() / "etc/passwd").string(),
                                    (root.path() / "etc/group").string());
  // Without "sudo" the administrators' group is "wheel"; a knob names another.
  EXPECT_EQ(krCore::Sids::Admins().AccountName(), L"wheel");
  EXPECT_EQ(CSid(L"wheel").Sid(), L"S-1-5-32-544");
  EXPECT_EQ(CSid(L"alice").Sid(), L"S-1-22-1-1500");
  EXPECT_EQ(CSid::FromString(L"S-1-22-2-10").AccountName(), L"wheel");
  krCore::detail::set_admin_group_name("ops");
  EXPECT_EQ(CSid(L"Administrators").AccountName(), L"ops");
  EXPECT_EQ(CSid(L"wheel").Sid(), L"S-1-22-2-10");
  krCore::detail::set_admin_group_name("");
  // A directory account as sssd names it: its flat domain is the first label.
  root.write("etc/passwd", "svc@corp.example.com:x:0:0::/:/bin/sh\n");
  EXPECT_EQ(krCore::GetThreadUserNameEx(2, true), L"CORP\\svc");
  krCore::detail::set_account_files("", "");
  EXPECT_EQ(w32_code([] { CSid(L"alice"); }), 1332u);
}

// The administrator tests, reported by a child as bits of its exit code.
int admin_bits() {
  bool builtin = false;
  const unsigned long rc = krCore::isuserbuiltinadminaccount(builtin);
  return (krCore::getprocesstokenelevationtype() & 3) |
         (krCore::isuserprocessadminequivalent() ? 4 : 0) | (rc == 0 && builtin ? 8 : 0) |
         (krCore::isadmin_consider_uac() ? 16 : 0);
}

TEST(AdminTests, RootNobodyAndAnAdministratorsMember) {
  SKIP_UNLESS_ROOT();
  system_root root;
  log_recorder log;
  EXPECT_EQ(admin_bits(), TokenElevationTypeFull | 4 | 8 | 16);
  EXPECT_TRUE(log.has(L"getprocesstokenelevationtype() elevation type: TokenElevationTypeFull"));
  EXPECT_TRUE(log.has(L"isuserprocessadminequivalent()  indicates that the user: "));
  EXPECT_TRUE(log.has(L"\\root IS an admin equivalent"));
  EXPECT_EQ(run_as(65534, 65534, {}, admin_bits), TokenElevationTypeDefault);
  if (sudo_gid() == 0) GTEST_SKIP() << "no sudo group";
  // The elevation policy is on unless switched off: a member of the
  // administrators' group is not an administrator until it runs as root.
  EXPECT_TRUE(krCore::IsVistaOrLater());
  EXPECT_TRUE(krCore::is_uac_enabled());
  EXPECT_EQ(run_as(65534, 65534, {sudo_gid()}, admin_bits), TokenElevationTypeLimited | 4);
  EXPECT_EQ(run_as(65534, sudo_gid(), {}, admin_bits), TokenElevationTypeLimited | 4);
  // Switched off, membership is enough.
  krCore::detail::set_registry_dword_reader(
      [](const std::wstring& key, const std::wstring& value, DWORD& data) -> unsigned long {
        if (key != L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System" ||
            value != L"EnableLUA")
          return 2;
        data = 0;
        return 0;
      });
  EXPECT_FALSE(krCore::is_uac_enabled());
  EXPECT_EQ(run_as(65534, 65534, {sudo_gid()}, admin_bits), TokenElevationTypeLimited | 4 | 16);
  EXPECT_EQ(admin_bits(), TokenElevationTypeFull | 4 | 8 | 16);
  // A policy key that cannot be opened is the registry's error.
  krCore::detail::set_registry_dword_reader(
      [](const std::wstring&, const std::wstring&, DWORD&) -> unsigned long { return 5; });
  EXPECT_EQ(w32_code([] { krCore::is_uac_enabled(); }), 5u);
}

TEST(AdminTests, BuiltinAdministratorNeedsAMachineId) {
  system_root root;
  fs::remove(root.path() / "etc/machine-id");
  bool builtin = true;
  EXPECT_NE(krCore::isuserbuiltinadminaccount(builtin), 0u);
}

}  // namespace
