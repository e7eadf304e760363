// Security identifiers: what every platform does the same way before it asks
// its own half (security/identity.h) to look an account up. There is no
// remote lookup, and the local system account's three spellings always name
// the local system account, whatever the platform's own lookup would make
// of them.
#include <krcore/security.h>

#include <string>

#include "foundation/errors.h"
#include "security/identity.h"
#include "security/text.h"

namespace krCore {

CSid::CSid() = default;

CSid::CSid(const wchar_t* account, const wchar_t* system) {
  if (!LoadAccount(account, system)) throw w32_exception(GetLastError());
}

CSid::CSid(const std::wstring& account) : CSid(account.c_str(), nullptr) {}

bool CSid::LoadAccount(const wchar_t* account, const wchar_t* system) {
  if (system && *system && std::wstring(system) != L"." &&
      !detail::iequal(system, GetComputerNameW(false))) {
    SetLastError(detail::kRpcServerUnavailable);
    return false;
  }
  if (!account || !*account) {
    SetLastError(detail::kErrorNoneMapped);
    return false;
  }
  if (globals::IsLocalSystemAccount(account)) {
    *this = Sids::System();
    return true;
  }
  CSid found;
  if (const unsigned long error = detail::lookup_account(account, found)) {
    SetLastError(error);
    return false;
  }
  *this = found;
  return true;
}

bool CSid::unix_id(bool& isGroup, unsigned int& id) const {
  if (_kind == 0) return false;
  isGroup = _kind == 2;
  id = _id;
  return true;
}

}  // namespace krCore
