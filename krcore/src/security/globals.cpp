// Machine facts: the computer's names.
//
// The NetBIOS form is derived here from the platform's host name, so every
// platform produces the same shape of name (the one the logger's report and
// the machine-facts table print).
#include <krcore/security.h>

#include <cwctype>

#include "security/machine.h"

namespace krCore {
namespace detail {

std::wstring netbios_name(const std::wstring& host) {
  constexpr size_t kNetbiosLength = 15;
  std::wstring name = host.substr(0, host.find(L'.'));
  if (name.size() > kNetbiosLength) name.resize(kNetbiosLength);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return name;
}

}  // namespace detail

std::wstring GetComputerNameW(bool throwonerror) {
  std::wstring host;
  unsigned long error = 0;
  if (!detail::os_host_name(host, error)) {
    if (throwonerror) throw w32_exception(error);
    return std::wstring();
  }
  return detail::netbios_name(host);
}

}  // namespace krCore
