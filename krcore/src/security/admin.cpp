// Administrator tests: the OS version record, the elevation policy, and the
// questions "is this user an administrator" asks of the calling thread's
// identity.
//
// The identity questions themselves are the platform half's
// (security/identity.h): on Linux effective uid 0 is a full token, a member
// of the administrators' group without uid 0 holds a limited one (it can
// become root, but is not now), everyone else has the default token; on
// Windows the token says.
#include <krcore/security.h>

#include <cstring>
#include <cwchar>

#include "foundation/utf.h"
#include "security/identity.h"
#include "security/osversion.h"
#include "security/privileges.h"
#include "security/system_files.h"
#include "security/text.h"

namespace krCore {
namespace detail {
namespace {

// The user name as the admin tests log it, with whether it could be read.
std::wstring logged_user_name(bool& ok) {
  std::wstring name = GetThreadUserNameEx(2, false);
  ok = !name.empty();
  return name;
}

}  // namespace

unsigned char os_product_type() {
  if (read_samba_facts().domain_controller) return VER_NT_DOMAIN_CONTROLLER;
  return machine_is_workstation() ? VER_NT_WORKSTATION : VER_NT_SERVER;
}

}  // namespace detail

OSVERSIONINFOEXW GetOSVersion() {
  OSVERSIONINFOEXW record;
  std::memset(&record, 0, sizeof record);
  record.dwOSVersionInfoSize = sizeof record;
  detail::os_version_info info;
  if (!detail::query_os_version(info)) throw krException(50ul, "GetVersionEx() call failed.", 4);
  record.dwMajorVersion = static_cast<DWORD>(info.major);
  record.dwMinorVersion = static_cast<DWORD>(info.minor);
  record.dwBuildNumber = static_cast<DWORD>(info.build);
  record.dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  std::wcsncpy(record.szCSDVersion, info.service_pack.c_str(), 127);
  record.wProductType = detail::os_product_type();
  return record;
}

// Every system this library runs on has the elevation model: an
// administrator is not elevated until it runs as root.
bool IsVistaOrLater() { return true; }

// "EnableLUA" missing or of another type reads as the platform's default
// (on: Linux, where a member of the administrators' group holds a limited
// token until it becomes root; off: Windows, as the system reads it); any
// non-zero value means enabled, an explicit 0 turns the policy off (and with
// it the token test in isadmin_consider_uac).
bool is_uac_enabled() {
  if (!IsVistaOrLater()) return false;
  DWORD value = 1;
  const unsigned long rc = detail::read_registry_dword(
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", L"EnableLUA", value);
  if (rc == 2) return detail::elevation_policy_default();
  if (rc != 0) throw w32_exception(rc);
  return value != 0;
}

namespace {

bool isadmin_scm_check() {
  bool ok = false;
  const std::wstring name = detail::logged_user_name(ok);
  detail::log_at(detail::kLogNormal, L"isadmin_scm_check() called for current user [" + name +
                                         L"], GetUserNameExW returned [" + (ok ? L"1" : L"0") +
                                         L"]");
  if (!detail::may_manage_services()) {
    detail::log_at(detail::kLogNormal, L"isadmin_scm_check() OpenSCManager() failed with error: 5");
    return false;
  }
  detail::log_at(detail::kLogNormal, L"isadmin_scm_check() returning true.");
  return true;
}

}  // namespace

bool isadmin_consider_uac() {
  if (!is_uac_enabled()) return isuserprocessadminequivalent();
  if (getprocesstokenelevationtype() == TokenElevationTypeFull) return true;
  if (isadmin_scm_check()) return true;
  bool builtin = false;
  return isuserbuiltinadminaccount(builtin) == 0 && builtin;
}

unsigned long isuserbuiltinadminaccount(bool& isBuiltinAdmin) {
  std::wstring domain;
  if (const unsigned long error = detail::account_domain_sid(domain)) return error;
  const CSid builtin = CSid::FromString(domain + L"-500");
  isBuiltinAdmin = builtin == CSid::CurrentUser();
  return 0;
}

bool isuserprocessadminequivalent() {
  bool ok = false;
  const std::wstring name = detail::logged_user_name(ok);
  detail::log_at(detail::kLogNormal, L"isuserprocessadminequivalent() called for current user [" +
                                         name + L"], GetUserNameExW returned [" +
                                         (ok ? L"1" : L"0") + L"]");
  const bool admin = detail::is_admin_equivalent();
  detail::log_at(detail::kLogNormal, L"isuserprocessadminequivalent()  indicates that the user: " +
                                         name + (admin ? L" IS an admin equivalent"
                                                       : L" is NOT an admin equivalent"));
  return admin;
}

TOKEN_ELEVATION_TYPE getprocesstokenelevationtype() {
  const TOKEN_ELEVATION_TYPE type = detail::elevation_type();
  const wchar_t* name = type == TokenElevationTypeFull      ? L"TokenElevationTypeFull"
                        : type == TokenElevationTypeLimited ? L"TokenElevationTypeLimited"
                        : type == TokenElevationTypeDefault ? L"TokenElevationTypeDefault"
                                                            : L"Unknown";
  detail::log_at(detail::kLogNormal,
                 std::wstring(L"getprocesstokenelevationtype() elevation type: ") + name);
  return type;
}

}  // namespace krCore
