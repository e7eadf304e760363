// Machine facts on Linux: the host name from uname(2), the word size of
// the running kernel from its machine name, and the calling thread's user
// name from the account database.
#include <sys/utsname.h>

#include <cwctype>
#include <string>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "security/accounts.h"
#include "security/identity.h"
#include "security/machine.h"
#include "security/system_files.h"
#include "security/text.h"

namespace krCore::detail {

bool os_host_name(std::wstring& name, unsigned long& error) {
  struct utsname u;
  if (::uname(&u) != 0) {
    error = last_errno_as_win32();
    return false;
  }
  name = wide_from_utf8(u.nodename);
  return true;
}

bool os_is_64bit() {
  struct utsname u;
  if (::uname(&u) != 0) return sizeof(void*) == 8;
  // The 64-bit Linux machine names contain "64" (x86_64, aarch64, ppc64le,
  // riscv64) or are s390x.
  const std::string machine = u.machine;
  return machine.find("64") != std::string::npos || machine == "s390x";
}

}  // namespace krCore::detail

#include <netdb.h>
#include <unistd.h>

#include <cstring>

namespace krCore::detail {

std::wstring os_canonical_name(const std::wstring& host) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(utf8_from_wide(host).c_str(), nullptr, &hints, &result) != 0) return L"";
  std::wstring name;
  if (result && result->ai_canonname) name = wide_from_utf8(result->ai_canonname);
  ::freeaddrinfo(result);
  return name;
}

unsigned long os_processor_count() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned long>(n) : 1ul;
}

std::string os_machine() {
  struct utsname u;
  if (::uname(&u) != 0) return std::string();
  return u.machine;
}

// The account database's user of the effective uid, in a name format.
unsigned long thread_user_name(int format, std::wstring& name) {
  user_entry user;
  if (!user_by_id(effective_uid(), user)) return kErrorNoneMapped;
  const std::wstring account = wide_from_utf8(user.name);
  switch (format) {
    case 2: {  // NameSamCompatible
      // Directory users that sssd names "user@corp.example.com" belong to
      // the flat domain CORP; a name with a backslash has its domain already.
      const size_t at = account.find(L'@');
      if (account.find(L'\\') != std::wstring::npos) {
        name = account;
      } else if (at != std::wstring::npos) {
        std::wstring domain = account.substr(at + 1, account.find(L'.', at) - at - 1);
        for (wchar_t& c : domain) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
        name = domain + L"\\" + account.substr(0, at);
      } else {
        name = GetComputerNameW(false) + L"\\" + account;
      }
      return 0;
    }
    case 3: {  // NameDisplay: the full name is the GECOS field up to its first comma
      const std::wstring full = wide_from_utf8(user.gecos.substr(0, user.gecos.find(',')));
      name = full.empty() ? account : full;
      return 0;
    }
    case 8: {  // NameUserPrincipal: only a domain account has one
      const samba_facts facts = read_samba_facts();
      if (!facts.domain_member || facts.realm.empty()) return kErrorNoneMapped;
      const std::wstring realm = lower_case(facts.realm);
      const std::wstring user = account.substr(account.find(L'\\') + 1);
      name = user.find(L'@') != std::wstring::npos ? user : user + L"@" + realm;
      return 0;
    }
    default:
      return kErrorNoneMapped;
  }
}

}  // namespace krCore::detail
