// Accounts on Windows as a program sees them through the library: names and
// SIDs are the system's own in both directions, unknown names and bad text
// are refused with the system's codes, and the administrator questions
// answer what the token and the policy say.
#include <gtest/gtest.h>
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>
#define SECURITY_WIN32
#include <secext.h>

#include <krcore/exceptions.h>
#include <krcore/security.h>

#include <string>
#include <vector>

namespace {

struct system_account {
  std::wstring sid, name, domain;
};

// What the system itself says of a binary SID.
system_account describe(PSID sid) {
  system_account out;
  LPWSTR text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    out.sid = text;
    LocalFree(text);
  }
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    out.name = name;
    out.domain = domain;
  }
  return out;
}

system_account token_user() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  BYTE buffer[512];
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
  CloseHandle(token);
  return describe(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

system_account well_known(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid, &size));
  return describe(sid);
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(AccountsOnWindows, NamesAndSidsRoundTripAsTheSystemResolvesThem) {
  const system_account user = token_user();
  const system_account admins = well_known(WinBuiltinAdministratorsSid);
  const system_account system = well_known(WinLocalSystemSid);
  ASSERT_FALSE(user.name.empty());
  EXPECT_EQ(admins.sid, L"S-1-5-32-544");
  EXPECT_EQ(system.sid, L"S-1-5-18");

  for (const system_account& account : {user, admins, system}) {
    SCOPED_TRACE(narrow(account.domain + L"\\" + account.name));
    // name -> SID -> name.
    const krCore::CSid by_name(account.domain + L"\\" + account.name);
    EXPECT_EQ(by_name.Sid(), account.sid);
    EXPECT_EQ(by_name.AccountName(), account.name);
    EXPECT_EQ(by_name.Domain(), account.domain);
    const krCore::CSid by_text = krCore::CSid::FromString(account.sid);
    EXPECT_EQ(by_text.AccountName(), account.name);
    EXPECT_EQ(by_text.Domain(), account.domain);
    EXPECT_EQ(by_text, by_name);
    // The bare name resolves too; a SID's text is given in the system's form.
    EXPECT_EQ(krCore::CSid(account.name).Sid(), account.sid);
    std::wstring lower = account.sid;
    lower[0] = L's';
    EXPECT_EQ(krCore::CSid::FromString(lower).Sid(), account.sid);
    bool group = false;
    unsigned int id = 0;
    EXPECT_FALSE(by_name.unix_id(group, id));
  }

  EXPECT_EQ(krCore::CSid::CurrentUser().Sid(), user.sid);
  EXPECT_EQ(krCore::CSid(L".\\" + user.name).Sid(), user.sid);
  EXPECT_EQ(krCore::Sids::Admins().Sid(), admins.sid);
  EXPECT_EQ(krCore::Sids::Admins().AccountName(), admins.name);
  EXPECT_EQ(krCore::Sids::System().Sid(), system.sid);
  for (const wchar_t* spelling : {L"LocalSystem", L".\\localsystem", L"NT AUTHORITY\\System"})
    EXPECT_EQ(krCore::CSid(spelling).Sid(), L"S-1-5-18") << narrow(spelling);
  EXPECT_EQ(krCore::globals::getaccounttextualsid(user.name, user.domain), user.sid);
}

TEST(AccountsOnWindows, UnknownNamesAndBadTextGiveTheSystemsCodes) {
  try {
    krCore::CSid unknown(L"qmcore-no-such-account-49");
    ADD_FAILURE() << "an unknown account resolved to " << narrow(unknown.Sid());
  } catch (const w32_exception& e) {
    EXPECT_EQ(e.code, 1332u);
  }
  krCore::CSid sid;
  EXPECT_FALSE(sid.LoadAccount(L"qmcore-no-such-account-49"));
  EXPECT_EQ(GetLastError(), 1332u);
  EXPECT_FALSE(sid.LoadAccount(L""));
  EXPECT_EQ(GetLastError(), 1332u);
  EXPECT_FALSE(sid.LoadAccount(L"Administrators", L"some-other-host"));
  EXPECT_EQ(GetLastError(), 1722u);
  EXPECT_FALSE(sid.IsValid());

  for (const wchar_t* text : {L"S-1-x", L"not a sid", L"", L"S-"}) {
    try {
      krCore::CSid::FromString(text);
      ADD_FAILURE() << "parsed " << narrow(text);
    } catch (const w32_exception& e) {
      EXPECT_EQ(e.code, 1337u) << narrow(text);
    }
  }
  // A well-formed SID no account has keeps its text and has no names.
  const krCore::CSid orphan = krCore::CSid::FromString(L"S-1-5-21-1-2-3-4444");
  EXPECT_EQ(orphan.Sid(), L"S-1-5-21-1-2-3-4444");
  EXPECT_TRUE(orphan.AccountName().empty());
  // Accounts have no numeric ids here.
  EXPECT_FALSE(krCore::CSid::FromUid(0).IsValid());
  EXPECT_FALSE(krCore::CSid::FromGid(0).IsValid());
}

TEST(AccountsOnWindows, TheThreadsUserNameIsTheSystems) {
  wchar_t name[256];
  ULONG size = 256;
  ASSERT_TRUE(GetUserNameExW(NameSamCompatible, name, &size));
  EXPECT_EQ(krCore::GetThreadUserNameEx(true), std::wstring(name));
  const krCore::CSid user = krCore::CSid::CurrentUser();
  EXPECT_EQ(krCore::GetThreadUserNameEx(2, true), user.Domain() + L"\\" + user.AccountName());
  EXPECT_TRUE(krCore::GetThreadUserNameEx(5, false).empty());
  EXPECT_THROW(krCore::GetThreadUserNameEx(5, true), w32_exception);
}

// The account domain's SID, as the system's policy gives it.
std::wstring account_domain() {
  LSA_OBJECT_ATTRIBUTES attributes{};
  LSA_HANDLE policy = nullptr;
  if (LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy) != 0) return L"";
  void* info = nullptr;
  std::wstring text;
  if (LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &info) == 0) {
    text = describe(static_cast<POLICY_ACCOUNT_DOMAIN_INFO*>(info)->DomainSid).sid;
    LsaFreeMemory(info);
  }
  LsaClose(policy);
  return text;
}

TEST(AccountsOnWindows, AdministratorQuestionsFollowTheToken) {
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  BOOL member = FALSE;
  ASSERT_TRUE(CheckTokenMembership(nullptr, admins, &member));
  EXPECT_EQ(krCore::isuserprocessadminequivalent(), member != FALSE);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_ELEVATION_TYPE type{};
  ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size));
  CloseHandle(token);
  EXPECT_EQ(krCore::getprocesstokenelevationtype(), type);

  const std::wstring domain = account_domain();
  ASSERT_FALSE(domain.empty());
  bool builtin = true;
  EXPECT_EQ(krCore::isuserbuiltinadminaccount(builtin), 0u);
  EXPECT_EQ(builtin, token_user().sid == domain + L"-500");
}

// Sets or (with no value) deletes the "EnableLUA" policy value.
void set_enable_lua(const DWORD* value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                            L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", 0,
                            nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            0);
  if (value)
    RegSetValueExW(key, L"EnableLUA", 0, REG_DWORD, reinterpret_cast<const BYTE*>(value),
                   sizeof *value);
  else
    RegDeleteValueW(key, L"EnableLUA");
  RegCloseKey(key);
}

TEST(AccountsOnWindows, TheElevationPolicyIsReadAsTheSystemReadsIt) {
  DWORD saved = 0;
  DWORD saved_size = sizeof saved;
  const bool had = RegGetValueW(HKEY_LOCAL_MACHINE,
                                L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                                L"EnableLUA", RRF_RT_REG_DWORD, nullptr, &saved,
                                &saved_size) == ERROR_SUCCESS;
  const DWORD on = 1, off = 0;
  set_enable_lua(&on);
  EXPECT_TRUE(krCore::is_uac_enabled());
  set_enable_lua(&off);
  EXPECT_FALSE(krCore::is_uac_enabled());
  // With the policy off, the answer is the group membership's alone.
  EXPECT_EQ(krCore::isadmin_consider_uac(), krCore::isuserprocessadminequivalent());
  // Missing, the system reads it as off.
  set_enable_lua(nullptr);
  EXPECT_FALSE(krCore::is_uac_enabled());
  set_enable_lua(had ? &saved : nullptr);
}

}  // namespace
