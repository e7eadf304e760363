// The machine facts against private system roots: a stand-alone machine, a
// member of an Active Directory domain and a domain controller, the
// directory-name switch, and the spellings of the local system account.
#include <krcore/registry.h>
#include <sys/utsname.h>

#include <cstdlib>

#include "security/machine.h"
#include "security_support.h"

namespace {

using namespace sectest;
using krCore::globals;

static auto* const kAccounts = ::testing::AddGlobalTestEnvironment(new accounts_environment);

const char kAdsMember[] =
    "# joined with net ads join\n"
    "[global]\n"
    "   workgroup = CORP\n"
    "   realm = CORP.EXAMPLE.COM\n"
    "   Security = ADS\n"
    "[homes]\n"
    "   workgroup = NOTTHIS\n";

const char kDomainController[] =
    "[global]\n"
    "\tworkgroup = CORP\n"
    "\trealm = CORP.EXAMPLE.COM\n"
    "\tserverrole = active directory \\\n"
    "domain controller\n";

std::wstring kernel_version() {
  struct utsname u;
  uname(&u);
  unsigned a = 0, b = 0, c = 0;
  std::sscanf(u.release, "%u.%u.%u", &a, &b, &c);
  return std::to_wstring(a) + L"." + std::to_wstring(b) + L"." + std::to_wstring(c) + L".0";
}

TEST(MachineFacts, StandaloneMachineHasEveryProperty) {
  system_root root;
  globals* g = root.facts();
  ASSERT_TRUE(g->initialized());
  const std::wstring computer = krCore::GetComputerNameW(true);
  EXPECT_EQ(property(g, L"COMPUTERNAME"), computer);
  const std::wstring label = property(g, L"HOSTNAMECOMPUTERNAME");
  EXPECT_EQ(krCore::detail::netbios_name(label), computer);
  EXPECT_EQ(property(g, L"FQDNCOMPUTERNAME").compare(0, label.size(), label), 0);
  EXPECT_EQ(property(g, L"FLATDOMAINNAME"), L"WORKGROUP");
  EXPECT_EQ(property(g, L"DOMAINNAME"), L"WORKGROUP");
  EXPECT_EQ(property(g, L"ISSTANDALONE"), L"true");
  EXPECT_EQ(property(g, L"DNSDOMAINNAME"), L"<absent>");
  EXPECT_EQ(property(g, L"CANONICALNAME"), L"");
  EXPECT_EQ(property(g, L"DISTINGUISHEDNAME"), L"");
  EXPECT_EQ(property(g, L"OSVERSION"), kernel_version());
  EXPECT_EQ(property(g, L"OSTYPE"), L"SERVER");
  EXPECT_EQ(property(g, L"ISWOW64"), L"false");
  EXPECT_EQ(property(g, L"NUMPROCESSORS"), std::to_wstring(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(property(g, L"OS_PROCESSOR_ARCHITECTURE"), L"PROCESSOR_ARCHITECTURE_AMD64");
  EXPECT_EQ(property(g, L"PROCESSTOKENUSER"), computer + L"\\root");

  // The machine SID is a function of the machine id alone.
  const std::wstring sid = property(g, L"COMPUTERTEXTUALSID");
  unsigned long a = 0, b = 0, c = 0;
  char rest = 0;
  EXPECT_EQ(std::sscanf(krCore::detail::utf8_from_wide(sid).c_str(), "S-1-5-21-%lu-%lu-%lu%c", &a,
                        &b, &c, &rest),
            3)
      << krCore::detail::utf8_from_wide(sid);
  EXPECT_EQ(property(root.facts(), L"COMPUTERTEXTUALSID"), sid);
  root.write("etc/machine-id", "fedcba9876543210fedcba9876543210\n");
  EXPECT_NE(property(root.facts(), L"COMPUTERTEXTUALSID"), sid);

  // Keys are case-sensitive; a miss leaves the value alone.
  std::wstring value = L"untouched";
  g = krCore::singleton<globals>::instance();
  EXPECT_FALSE(g->getproperty(L"computername", value));
  EXPECT_EQ(value, L"untouched");
}

TEST(MachineFacts, DomainMemberAndControllerFromSambaConfiguration) {
  system_root root;
  root.write("etc/samba/smb.conf", kAdsMember);
  globals* g = root.facts();
  EXPECT_EQ(property(g, L"FLATDOMAINNAME"), L"CORP");
  EXPECT_EQ(property(g, L"DOMAINNAME"), L"corp.example.com");
  EXPECT_EQ(property(g, L"DNSDOMAINNAME"), L"corp.example.com");
  EXPECT_EQ(property(g, L"ISSTANDALONE"), L"false");
  EXPECT_EQ(property(g, L"OSTYPE"), L"SERVER");
  EXPECT_EQ(krCore::GetThreadUserNameEx(8, false), L"root@corp.example.com");

  // An NT4-style domain has a flat name only.
  root.write("etc/samba/smb.conf", "[global]\nworkgroup = OLDDOM\nsecurity = domain\n");
  g = root.facts();
  EXPECT_EQ(property(g, L"DOMAINNAME"), L"OLDDOM");
  EXPECT_EQ(property(g, L"ISSTANDALONE"), L"false");
  EXPECT_EQ(property(g, L"DNSDOMAINNAME"), L"<absent>");

  root.write("etc/samba/smb.conf", kDomainController);
  g = root.facts();
  EXPECT_EQ(property(g, L"OSTYPE"), L"DOMAINCONTROLLER");
  EXPECT_EQ(property(g, L"DOMAINNAME"), L"corp.example.com");
  EXPECT_EQ(krCore::GetOSVersion().wProductType, VER_NT_DOMAIN_CONTROLLER);
}

TEST(MachineFacts, WorkstationFromMachineInfoElseFirmwareChassis) {
  system_root root;
  root.write("sys/class/dmi/id/chassis_type", "10\n");  // notebook
  EXPECT_EQ(property(root.facts(), L"OSTYPE"), L"WORKSTATION");
  root.write("sys/class/dmi/id/chassis_type", "17\n");  // main server chassis
  EXPECT_EQ(property(root.facts(), L"OSTYPE"), L"SERVER");
  // What the administrator wrote wins over the firmware.
  root.write("etc/machine-info", "PRETTY_HOSTNAME=x\nCHASSIS=\"laptop\"\n");
  EXPECT_EQ(property(root.facts(), L"OSTYPE"), L"WORKSTATION");
  root.write("etc/machine-info", "CHASSIS=vm\n");
  root.write("sys/class/dmi/id/chassis_type", "10\n");
  EXPECT_EQ(property(root.facts(), L"OSTYPE"), L"SERVER");
}

TEST(MachineFacts, DirectoryNamesFollowTheRegistrySwitch) {
  system_root root;
  log_recorder log;
  DWORD disable = 1;
  krCore::detail::set_registry_dword_reader(
      [&](const std::wstring& key, const std::wstring& value, DWORD& data) -> unsigned long {
        if (key != L"SOFTWARE\\Zelvora\\Common" || value != L"DisableGetComputerCanonicalName")
          return 2;
        data = disable;
        return 0;
      });
  globals* g = root.facts();
  EXPECT_EQ(property(g, L"CANONICALNAME"), L"<absent>");
  EXPECT_EQ(property(g, L"DISTINGUISHEDNAME"), L"<absent>");
  EXPECT_TRUE(log.has(L"REG_DWORD_GETCOMPUTERCANONICALDISABLED is enabled and will NOT fetch"));
  EXPECT_FALSE(log.has(L"unable to retrieve this computers canonical name"));

  disable = 0;
  log.clear();
  g = root.facts();
  EXPECT_EQ(property(g, L"CANONICALNAME"), L"");
  EXPECT_TRUE(log.has(L"REG_DWORD_GETCOMPUTERCANONICALDISABLED not found or not set to disable"));
  EXPECT_TRUE(log.has(L"krCore::Globals() unable to retrieve this computers canonical name. Reason: "));
  EXPECT_TRUE(log.has(L"globals::InitializeImpl() completed"));

  // A key that cannot be opened ends the collection; initialize() tries
  // again and finishes once the key can be read.
  krCore::detail::set_registry_dword_reader(
      [](const std::wstring&, const std::wstring&, DWORD&) -> unsigned long { return 5; });
  g = root.facts();
  EXPECT_FALSE(g->initialized());
  EXPECT_TRUE(log.has(L"globals::InitializeImpl() failed. Message: "));
  krCore::detail::set_registry_dword_reader({});
  g->initialize();
  EXPECT_TRUE(g->initialized());
  EXPECT_EQ(property(g, L"ISWOW64"), L"false");
}

// The switches are DWORDs; a string (as an administrator may well write)
// reads as missing, in the machine's real registry.
TEST(MachineFacts, SwitchesOfAnotherTypeReadAsMissing) {
  system_root root;
  const std::string registry = (root.path() / "registry").string();
  ::setenv("KRCORE_REGISTRY_ROOT", registry.c_str(), 1);
  const auto set_string = [](const wchar_t* subkey, const wchar_t* name) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr),
              0);
    const wchar_t text[] = L"0";
    ASSERT_EQ(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                     sizeof text),
              0);
    ::RegCloseKey(key);
  };
  set_string(L"SOFTWARE\\Zelvora\\Common", L"DisableGetComputerCanonicalName");
  set_string(L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", L"EnableLUA");
  globals* g = root.facts();
  EXPECT_TRUE(g->initialized());
  EXPECT_EQ(property(g, L"CANONICALNAME"), L"");
  EXPECT_EQ(property(g, L"NUMPROCESSORS"), std::to_wstring(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_TRUE(krCore::is_uac_enabled());  // the default, not a throw
  ::unsetenv("KRCORE_REGISTRY_ROOT");
}

TEST(MachineFacts, LocalSystemSpellings) {
  for (const wchar_t* name : {L"LocalSystem", L".\\localsystem", L"nt authority\\SYSTEM"})
    EXPECT_TRUE(globals::IsLocalSystemAccount(name)) << name;
  for (const wchar_t* name : {L"SYSTEM", L"LocalSystem2", L"\\LocalSystem", L""})
    EXPECT_FALSE(globals::IsLocalSystemAccount(name)) << name;
  EXPECT_FALSE(globals::IsLocalSystemAccount(static_cast<const wchar_t*>(nullptr)));

  log_recorder log;
  EXPECT_EQ(globals::GetSidLookupName(L".\\LocalSystem"), L"NT AUTHORITY\\System");
  EXPECT_TRUE(log.has(L"globals::GetSidLookupName() detected local service account [.\\LocalSystem], "
                      L"returns [NT AUTHORITY\\System]"));
  EXPECT_EQ(globals::GetSidLookupName(L"someone"), L"someone");
}

// A configuration that names no workgroup (the member and controller files
// are read through the machine facts above).
TEST(MachineFacts, SambaConfigurationWithoutAWorkgroup) {
  using krCore::detail::parse_smb_conf;
  const auto plain = parse_smb_conf("; nothing set\n[global]\n# workgroup = X\n");
  EXPECT_EQ(plain.workgroup, L"WORKGROUP");
  EXPECT_FALSE(plain.domain_member);
}

TEST(MachineFacts, ThreadUserNameFormats) {
  system_root root;
  SKIP_UNLESS_TEST_ACCOUNTS();
  const std::wstring computer = krCore::GetComputerNameW(true);
  EXPECT_EQ(krCore::GetThreadUserNameEx(true), computer + L"\\root");
  EXPECT_EQ(sectest::w32_code([] { krCore::GetThreadUserNameEx(8, true); }), 1332u);
  EXPECT_EQ(krCore::GetThreadUserNameEx(8, false), L"");
  const int rc = run_as(test_accounts::uid(), 65534, {}, [] {
    return krCore::GetThreadUserNameEx(3, true) == L"Test User" &&
                   krCore::GetThreadUserNameEx(true) ==
                       krCore::GetComputerNameW(true) + L"\\" + test_accounts::wuser()
               ? 0
               : 1;
  });
  EXPECT_EQ(rc, 0);
}

}  // namespace
