// Security on Windows: what is not available yet.
//
// Accounts, privileges, applying access lists and the security policy fail
// here with ERROR_CALL_NOT_IMPLEMENTED (lookups find nothing, tests answer
// no), each saying once on the debugger output that it is missing. The
// machine's facts and the system's version are real (machine.cpp).
#include <atomic>

#include <krcore/exceptions.h>
#include <krcore/security.h>

#include "foundation/windows/not_available.h"
#include "security/accounts.h"
#include "security/privileges.h"
#include "security/system_files.h"

namespace krCore {

namespace {

std::atomic<bool> g_reported_accounts{false};
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
