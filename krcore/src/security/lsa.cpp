// The local security authority: what every platform does the same way. The
// policy handle, the domain facts and the rights themselves are the
// platform half's (the system's policy on Windows, a policy file on Linux).
#include <krcore/security.h>

#include <string>

#include "security/identity.h"
#include "security/text.h"

namespace krCore {

namespace detail {

std::wstring rights_account_name(const std::wstring& account) {
  std::wstring name = account;
  globals* facts = singleton<globals>::instance();
  std::wstring type;
  if (facts->getproperty(L"OSTYPE", type) && type == L"DOMAINCONTROLLER") {
    log_at(kLogNormal, L"lsa::modifyrightforuser() indicates the computer is a DC");
    const size_t slash = name.find(L'\\');
    if (slash != std::wstring::npos) {
      name = name.substr(slash + 1);
      log_at(kLogNormal,
             L"lsa::modifyrightforuser() indicates the computer is a DC. Using accountname " + name);
    }
  }
  std::wstring computer;
  facts->getproperty(L"COMPUTERNAME", computer);
  for (size_t at = name.find(L".\\"); at != std::wstring::npos; at = name.find(L".\\", at)) {
    name.replace(at, 2, computer + L"\\");
    at += computer.size() + 1;
  }
  return name;
}

}  // namespace detail

lsa::lsa() = default;

lsa::~lsa() { close(); }

void lsa::openforread() {
  detail::log_at(detail::kLogNormal, L"lsa::openforread() called.");
  open(1);
}

void lsa::openfullaccess() {
  detail::log_at(detail::kLogNormal, L"lsa::openfullaccess() called.");
  open(0xF0FFF);
}

}  // namespace krCore
