// Security on Windows: not available yet.
//
// Accounts, the machine's facts, the version of the system, privileges,
// applying access lists and the security policy fail here with
// ERROR_CALL_NOT_IMPLEMENTED (lookups find nothing, tests answer no), each
// saying once on the debugger output that it is missing.
#include <atomic>

#include <krcore/exceptions.h>
#include <krcore/security.h>

#include "foundation/windows/not_available.h"
#include "security/accounts.h"
#include "security/machine.h"
#include "security/osversion.h"
#include "security/privileges.h"
#include "security/system_files.h"

namespace krCore {

namespace {

std::atomic<bool> g_reported_accounts{false};
std::atomic<bool> g_reported_machine{false};
std::atomic<bool> g_reported_policy{false};
std::atomic<bool> g_reported_acl{false};

[[noreturn]] void policy_not_available() {
  throw krException(detail::not_available(g_reported_policy, L"the security policy (lsa)"),
                    "the security policy is not available on Windows yet", 4);
}

[[noreturn]] void acl_not_available() {
  throw krException(detail::not_available(g_reported_acl, L"applying access lists"),
                    "applying access lists is not available on Windows yet", 4);
}

}  // namespace

namespace detail {

namespace {
bool no_accounts() {
  not_available(g_reported_accounts, L"account lookup");
  return false;
}
}  // namespace

bool user_by_name(const std::string&, user_entry&) { return no_accounts(); }
bool user_by_id(unsigned int, user_entry&) { return no_accounts(); }
bool group_by_name(const std::string&, group_entry&) { return no_accounts(); }
bool group_by_id(unsigned int, group_entry&) { return no_accounts(); }
bool admin_group(group_entry&) { return no_accounts(); }
unsigned int effective_uid() { return static_cast<unsigned int>(-1); }
bool in_admin_group() { return no_accounts(); }
bool may_manage_services() { return in_admin_group(); }

bool os_host_name(std::wstring& name, unsigned long& error) {
  name.clear();
  error = not_available(g_reported_machine, L"the machine's facts");
  return false;
}
std::wstring os_canonical_name(const std::wstring& host) { return host; }
// A 32-bit process asks the system: on a 64-bit system it runs under WOW64,
// and the file-system redirection scope depends on knowing that.
bool os_is_64bit() {
  if (sizeof(void*) == 8) return true;
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) != FALSE && wow64 != FALSE;
}
unsigned long os_processor_count() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}
std::string os_machine() { return os_is_64bit() ? "x86_64" : "i686"; }
bool machine_is_workstation() {
  not_available(g_reported_machine, L"the machine's facts");
  return false;
}
bool query_os_version(os_version_info&) {
  not_available(g_reported_machine, L"the version of the system");
  return false;
}

}  // namespace detail

void auto_privilege::set(bool) { detail::not_available(g_reported_accounts, L"privileges"); }

void CDacl::apply(const boost::filesystem::path&) const { acl_not_available(); }
void CDacl::apply(int) const { acl_not_available(); }
void CSecurityDesc::apply(const boost::filesystem::path&) const { acl_not_available(); }
void CSecurityDesc::apply(int) const { acl_not_available(); }

lsa::lsa() = default;
lsa::~lsa() { close(); }
void lsa::close() { _handle = nullptr; }
void lsa::open(unsigned long) { policy_not_available(); }
void lsa::openforread() { policy_not_available(); }
void lsa::openfullaccess() { policy_not_available(); }
std::wstring lsa::getdomainorworkgroupname(bool&) { policy_not_available(); }
std::wstring lsa::getdnsdomainname() { policy_not_available(); }
void lsa::modifyrightforuser(const std::wstring&, const std::wstring&, bool) { policy_not_available(); }
std::vector<std::wstring> lsa::enumerateaccountrights(const std::wstring&) { policy_not_available(); }

}  // namespace krCore
