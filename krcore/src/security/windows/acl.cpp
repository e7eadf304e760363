// Access lists on Windows: the entries become access-allowed entries of a
// protected DACL (nothing is inherited from the parent) with their masks
// and inheritance flags as given, set with the owner and group through the
// object's handle. A path is opened without following a reparse point, and
// one that is a reparse point (a symbolic link, a junction) is refused with
// 1920, so the call never changes what a link points to.
#include <windows.h>

#include <aclapi.h>
#include <io.h>

#include <krcore/exceptions.h>
#include <krcore/holders.h>
#include <krcore/security.h>

#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "security/windows/token.h"

namespace krCore {
namespace {

// Throws the code with one line naming the call and the object.
[[noreturn]] void fail(unsigned long code, const char* who, const char* call,
                       const std::wstring& name) {
  throw krException(code,
                    detail::wide_from_utf8(std::string(who) + ": " + call + " failed for ") +
                        name + L".",
                    4u);
}

// Sets what is given of the descriptor on an open object.
void set_security(HANDLE object, const CSid* owner, const CSid* group, const CDacl* dacl,
                  const char* who, const std::wstring& name) {
  SECURITY_INFORMATION what = 0;
  std::vector<BYTE> owner_sid, group_sid;
  if (owner) {
    owner_sid = detail::binary_sid(*owner);
    if (owner_sid.empty()) fail(detail::kErrorInvalidSid, who, "ConvertStringSidToSidW", name);
    what |= OWNER_SECURITY_INFORMATION;
  }
  if (group) {
    group_sid = detail::binary_sid(*group);
    if (group_sid.empty()) fail(detail::kErrorInvalidSid, who, "ConvertStringSidToSidW", name);
    what |= GROUP_SECURITY_INFORMATION;
  }
  PACL acl = nullptr;
  auto_localfree acl_hold(nullptr);
  ACL empty;
  if (dacl) {
    what |= DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    std::vector<std::vector<BYTE>> sids;
    std::vector<EXPLICIT_ACCESS_W> entries;
    for (const CDacl::entry& e : dacl->entries()) {
      sids.push_back(detail::binary_sid(e.sid));
      if (sids.back().empty()) fail(detail::kErrorInvalidSid, who, "ConvertStringSidToSidW", name);
    }
    for (size_t i = 0; i < sids.size(); ++i) {
      EXPLICIT_ACCESS_W access{};
      access.grfAccessPermissions = dacl->entries()[i].mask;
      access.grfAccessMode = GRANT_ACCESS;
      access.grfInheritance = dacl->entries()[i].flags;
      access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
      access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
      access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i].data());
      entries.push_back(access);
    }
    if (entries.empty()) {
      // No entry grants anything: an empty list, never a null one (which
      // would grant everyone everything).
      if (!::InitializeAcl(&empty, sizeof empty, ACL_REVISION))
        fail(::GetLastError(), who, "InitializeAcl", name);
      acl = &empty;
    } else {
      const DWORD rc = ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(),
                                          nullptr, &acl);
      if (rc != ERROR_SUCCESS) fail(rc, who, "SetEntriesInAclW", name);
      acl_hold.attach(acl);
    }
  }
  if (what == 0) return;
  const DWORD rc = ::SetSecurityInfo(object, SE_FILE_OBJECT, what,
                                     owner ? owner_sid.data() : nullptr,
                                     group ? group_sid.data() : nullptr, acl, nullptr);
  if (rc != ERROR_SUCCESS) fail(rc, who, "SetSecurityInfo", name);
}

DWORD access_for(const CSid* owner, const CSid* group) {
  return READ_CONTROL | WRITE_DAC | (owner || group ? WRITE_OWNER : 0);
}

// Opens the object itself, never a link's target.
HANDLE open_object(const boost::filesystem::path& path, DWORD access, const char* who) {
  const std::wstring& name = path.wstring();
  HANDLE object = ::CreateFileW(name.c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (object == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A missing folder on the way is a missing path as well.
    fail(error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error, who, "CreateFileW", name);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(object, &info)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(object);
    fail(error, who, "GetFileInformationByHandle", name);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    ::CloseHandle(object);
    fail(ERROR_CANT_ACCESS_FILE, who, "opening a reparse point (never followed)", name);
  }
  return object;
}

HANDLE handle_of(int fd, const char* who) {
  const intptr_t handle = ::_get_osfhandle(fd);
  if (handle == -1 || handle == -2)
    fail(ERROR_INVALID_HANDLE, who, "_get_osfhandle", L"descriptor " + std::to_wstring(fd));
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

void CDacl::apply(const boost::filesystem::path& path) const {
  auto_closehandle object(open_object(path, access_for(nullptr, nullptr), "CDacl"));
  set_security(object.get(), nullptr, nullptr, this, "CDacl", path.wstring());
}

void CDacl::apply(int fd) const {
  set_security(handle_of(fd, "CDacl"), nullptr, nullptr, this, "CDacl",
               L"descriptor " + std::to_wstring(fd));
}

void CSecurityDesc::apply(const boost::filesystem::path& path) const {
  const CSid* owner = _owner.IsValid() ? &_owner : nullptr;
  const CSid* group = _group.IsValid() ? &_group : nullptr;
  auto_closehandle object(open_object(path, access_for(owner, group), "CSecurityDesc"));
  set_security(object.get(), owner, group, _hasDacl ? &_dacl : nullptr, "CSecurityDesc",
               path.wstring());
}

void CSecurityDesc::apply(int fd) const {
  set_security(handle_of(fd, "CSecurityDesc"), _owner.IsValid() ? &_owner : nullptr,
               _group.IsValid() ? &_group : nullptr, _hasDacl ? &_dacl : nullptr, "CSecurityDesc",
               L"descriptor " + std::to_wstring(fd));
}

}  // namespace krCore
