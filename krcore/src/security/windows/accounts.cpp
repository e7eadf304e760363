// Accounts and security identifiers on Windows: the system resolves names
// and SIDs (LookupAccountNameW, LookupAccountSidW), the calling thread's
// token gives its user, its groups and its elevation. A SID here is the
// system's own; accounts have no numeric user or group ids.
#include <windows.h>

#include <sddl.h>
#define SECURITY_WIN32
#include <secext.h>

#include <krcore/exceptions.h>
#include <krcore/holders.h>
#include <krcore/security.h>

#include <string>
#include <vector>

#include "foundation/errors.h"
#include "security/identity.h"
#include "security/windows/token.h"

namespace krCore {
namespace detail {

HANDLE open_own_token(DWORD access, bool openasself, DWORD& error, const wchar_t*& call) {
  HANDLE token = nullptr;
  if (::OpenThreadToken(::GetCurrentThread(), access, openasself ? TRUE : FALSE, &token))
    return token;
  error = ::GetLastError();
  call = L"OpenThreadToken";
  if (error != ERROR_NO_TOKEN) return nullptr;
  call = L"OpenProcessToken";
  if (::OpenProcessToken(::GetCurrentProcess(), access, &token)) return token;
  error = ::GetLastError();
  return nullptr;
}

std::vector<BYTE> binary_sid(const CSid& sid) {
  PSID raw = nullptr;
  if (!sid.IsValid() || !::ConvertStringSidToSidW(sid.Sid().c_str(), &raw)) return {};
  auto_localfree hold(raw);
  const auto* bytes = static_cast<const BYTE*>(raw);
  return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(raw));
}

CSid describe_sid(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return CSid();
  auto_localfree hold(text);
  DWORD nameSize = 0, domainSize = 0;
  SID_NAME_USE use;
  ::LookupAccountSidW(nullptr, sid, nullptr, &nameSize, nullptr, &domainSize, &use);
  std::wstring name(nameSize, L'\0'), domain(domainSize, L'\0');
  if (nameSize == 0 ||
      !::LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use)) {
    name.clear();
    domain.clear();
  } else {
    name.resize(nameSize);
    domain.resize(domainSize);
  }
  return sid_access::make(text, std::move(name), std::move(domain), 0, 0);
}

namespace {

// A well-known SID with the names it has where the system does not know it.
CSid well_known(WELL_KNOWN_SID_TYPE type, const wchar_t* name, const wchar_t* domain) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!::CreateWellKnownSid(type, nullptr, sid, &size)) return CSid();
  CSid out = describe_sid(sid);
  if (out.IsValid() && out.AccountName().empty())
    out = sid_access::make(out.Sid(), name, domain, 0, 0);
  return out;
}

// What GetTokenInformation gives of one class, in a buffer of its size.
bool token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<BYTE>& out) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return false;
  out.resize(size);
  return ::GetTokenInformation(token, kind, out.data(), size, &size) != FALSE;
}

}  // namespace

unsigned long lookup_account(const std::wstring& name, CSid& out) {
  // ".\name" is a local account: the system knows it by the computer's name.
  std::wstring lookup = name;
  if (lookup.rfind(L".\\", 0) == 0) lookup = GetComputerNameW(false) + lookup.substr(1);
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use;
  ::LookupAccountNameW(nullptr, lookup.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
  if (sidSize == 0) {
    const DWORD error = ::GetLastError();
    return error == 0 || error == ERROR_INSUFFICIENT_BUFFER ? kErrorNoneMapped : error;
  }
  std::vector<BYTE> sid(sidSize);
  std::wstring domain(domainSize, L'\0');
  if (!::LookupAccountNameW(nullptr, lookup.c_str(), sid.data(), &sidSize, domain.data(),
                            &domainSize, &use))
    return ::GetLastError();
  out = describe_sid(sid.data());
  return out.IsValid() ? 0ul : static_cast<unsigned long>(kErrorNoneMapped);
}

unsigned long thread_user_name(int format, std::wstring& name) {
  if (format != NameSamCompatible && format != NameDisplay && format != NameUserPrincipal)
    return kErrorNoneMapped;
  const auto kind = static_cast<EXTENDED_NAME_FORMAT>(format);
  ULONG size = 0;
  ::GetUserNameExW(kind, nullptr, &size);
  if (size == 0) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : static_cast<unsigned long>(kErrorNoneMapped);
  }
  std::wstring buffer(size, L'\0');
  if (!::GetUserNameExW(kind, buffer.data(), &size)) return ::GetLastError();
  buffer.resize(size);
  name = std::move(buffer);
  return 0;
}

bool is_admin_equivalent() {
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  BOOL member = FALSE;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
         ::CheckTokenMembership(nullptr, admins, &member) && member;
}

TOKEN_ELEVATION_TYPE elevation_type() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
    throw krException(::GetLastError(), "getprocesstokenelevationtype() OpenProcessToken() failed.", 4);
  auto_closehandle token(raw);
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  if (!::GetTokenInformation(raw, TokenElevationType, &type, sizeof type, &size))
    throw krException(::GetLastError(), "getprocesstokenelevationtype() GetTokenInformation() failed.",
                      4);
  return type;
}

// The system reads a missing "EnableLUA" as off.
bool elevation_policy_default() { return false; }

}  // namespace detail

CSid CSid::FromString(const std::wstring& text) {
  PSID raw = nullptr;
  // (Some versions of the system make a SID of empty text.)
  if (text.empty() || !::ConvertStringSidToSidW(text.c_str(), &raw))
    throw w32_exception(detail::kErrorInvalidSid);
  auto_localfree hold(raw);
  return detail::describe_sid(raw);
}

CSid CSid::FromUid(unsigned int) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return CSid();
}

CSid CSid::FromGid(unsigned int) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return CSid();
}

CSid CSid::CurrentUser() {
  DWORD error = 0;
  const wchar_t* call = nullptr;
  auto_closehandle token(detail::open_own_token(TOKEN_QUERY, true, error, call));
  std::vector<BYTE> user;
  if (!token.get()) {
    SetLastError(error);
    return CSid();
  }
  if (!detail::token_information(token.get(), TokenUser, user)) return CSid();
  return detail::describe_sid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

namespace Sids {

CSid Admins() {
  return detail::well_known(WinBuiltinAdministratorsSid, L"Administrators", L"BUILTIN");
}

CSid System() { return detail::well_known(WinLocalSystemSid, L"SYSTEM", L"NT AUTHORITY"); }

}  // namespace Sids

}  // namespace krCore
