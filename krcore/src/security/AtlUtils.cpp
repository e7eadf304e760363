// Security descriptors in memory and the builders of descriptors that give
// administrators and the system full control of what the agent creates.
// Applying them to files is the platform half (POSIX ACLs on Linux).
#include <krcore/diagnostics.h>
#include <krcore/security.h>

#include <cstdio>
#include "security/text.h"


namespace krCore {
namespace {

using detail::log_at;

constexpr unsigned char kInheritBoth = OBJECT_INHERIT_ACE_FLAG | CONTAINER_INHERIT_ACE_FLAG;

std::wstring hex(unsigned long value) {
  wchar_t buf[16];
  std::swprintf(buf, 16, L"%lx", value & 0xFFFFFFFFul);
  return buf;
}

}  // namespace

bool CDacl::AddAllowedAce(const CSid& sid, ACCESS_MASK mask, unsigned char flags) {
  if (!sid.IsValid()) return false;
  _entries.push_back({sid, mask, flags});
  return true;
}

void CSecurityDesc::SetDacl(const CDacl& dacl) {
  _dacl = dacl;
  _hasDacl = true;
}

bool CSecurityDesc::GetDacl(CDacl* dacl) const {
  if (!_hasDacl) return false;
  if (dacl) *dacl = _dacl;
  return true;
}

void CSecurityDesc::SetOwner(const CSid& owner) { _owner = owner; }

bool CSecurityDesc::GetOwner(CSid* owner) const {
  if (!_owner.IsValid()) return false;
  if (owner) *owner = _owner;
  return true;
}

void CSecurityDesc::SetGroup(const CSid& group) { _group = group; }

bool CSecurityDesc::GetGroup(CSid* group) const {
  if (!_group.IsValid()) return false;
  if (group) *group = _group;
  return true;
}

void AtlUtils::CreateAdminDACL(CDacl& dacl, bool addCurrentUser, const wchar_t* accountName) {
  log_at(detail::kLogVerbose, std::wstring(L"AtlUtils::CreateAdminDACL() - add current user flag [") +
                                  (addCurrentUser ? L"true" : L"false") + L"], account name [" +
                                  (accountName ? accountName : L"*NULL*") + L"]");
  const CSid admins = Sids::Admins();
  const CSid system = Sids::System();
  dacl.AddAllowedAce(admins, FILE_ALL_ACCESS_MASK, kInheritBoth);
  dacl.AddAllowedAce(system, FILE_ALL_ACCESS_MASK, kInheritBoth);

  CSid user;
  if (addCurrentUser) {
    user = CSid::CurrentUser();
    if (!user.IsValid()) {
      log_at(detail::kLogError,
             L"AtlUtils::CreateAdminDACL() - failed get logged user SID with error code [0x" +
                 hex(GetLastError()) + L"]");
    } else if (user == system) {
      log_at(detail::kLogError,
             L"AtlUtils::CreateAdminDACL() - logged user is local system, ACE was already added.");
    } else {
      dacl.AddAllowedAce(user, FILE_ALL_ACCESS_MASK, kInheritBoth);
    }
  }

  if (!accountName) return;
  const std::wstring name = accountName;
  se_exception_initializer guard;
  try {
    const CSid account(name);
    if (account == admins || account == system || (user.IsValid() && account == user)) {
      log_at(detail::kLogError,
             L"AtlUtils::CreateAdminDACL() - account name [" + name + L"] ACE was already added.");
    } else {
      dacl.AddAllowedAce(account, FILE_ALL_ACCESS_MASK, kInheritBoth);
    }
  } catch (...) {
    guard.Analyze("..\\krcore\\AtlUtils", 62);
  }
  if (guard.info_count() != 0) {
    const long hr = guard.get_hresult(0);
    log_at(detail::kLogError, L"AtlUtils::CreateAdminDACL() - failed to add user [" + name +
                                  L"] SID to security descriptor with error code [0x" +
                                  hex(static_cast<unsigned long>(hr ? hr : 0x80004005l)) +
                                  L"], message: " + guard.infostring());
  }
}

void AtlUtils::CreateAdminSD(CSecurityDesc& sd, bool addCurrentUser, bool ownerAdmins,
                             const wchar_t* accountName) {
  CDacl dacl;
  CreateAdminDACL(dacl, addCurrentUser, accountName);
  sd.SetDacl(dacl);
  if (ownerAdmins) {
    sd.SetOwner(Sids::Admins());
    log_at(detail::kLogVerbose, L"AtlUtils::CreateAdminSD() - set owner to [admins]");
  }
}

}  // namespace krCore
