// Machine facts: the computer's names, the calling thread's user name, and
// the process-wide `globals` table that collects every fact once.
//
// The NetBIOS form is derived here from the platform's host name, so every
// platform produces the same shape of name (the one the logger's report and
// the machine-facts table print).
#include <krcore/diagnostics.h>
#include <krcore/security.h>

#include <cwctype>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "security/identity.h"
#include "security/machine.h"
#include "security/osversion.h"
#include "security/system_files.h"
#include "security/text.h"

namespace krCore {

KRCORE_LIBRARY_SINGLETON_DEFINITION(globals);
namespace detail {

std::wstring netbios_name(const std::wstring& host) {
  constexpr size_t kNetbiosLength = 15;
  std::wstring name = host.substr(0, host.find(L'.'));
  if (name.size() > kNetbiosLength) name.resize(kNetbiosLength);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return name;
}

std::wstring processor_architecture_name(const std::string& machine) {
  if (machine == "x86_64" || machine == "amd64") return L"PROCESSOR_ARCHITECTURE_AMD64";
  if (machine == "ia64") return L"PROCESSOR_ARCHITECTURE_IA64";
  if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0)
    return L"PROCESSOR_ARCHITECTURE_INTEL";
  return L"UNKNOWN";
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

std::wstring GetThreadUserNameEx(int format, bool throwonerror) {
  std::wstring name;
  const unsigned long error = detail::thread_user_name(format, name);
  if (error != 0) {
    if (throwonerror) throw w32_exception(error);
    return std::wstring();
  }
  return name;
}

std::wstring GetThreadUserNameEx(bool throwonerror) { return GetThreadUserNameEx(2, throwonerror); }

// --- globals ---

using detail::kLogError;
using detail::kLogNormal;
using detail::kLogVerbose;
using detail::log_at;

globals::globals() { InitializeImpl(); }

globals::~globals() = default;

void globals::close() { destroy_instance(); }

void globals::initialize() {
  auto_lock lock(_cs);
  if (!initialized()) InitializeImpl();
}

bool globals::initialized() const { return _initialized.load() != 0; }

bool globals::getproperty(const std::wstring& key, std::wstring& value) const {
  auto_lock lock(_cs);
  return getpropertyinternal(key, value);
}

bool globals::getpropertyinternal(const std::wstring& key, std::wstring& value) const {
  const auto it = _properties.find(key);
  if (it == _properties.end()) return false;
  value = it->second;
  return true;
}

namespace {

// The three spellings of the local system account.
const wchar_t* const kLocalSystem = L"LocalSystem";
const wchar_t* const kLocalSystemLocal = L".\\LocalSystem";
const wchar_t* const kLocalSystemAuthority = L"NT AUTHORITY\\System";

}  // namespace

std::wstring globals::LocalSystemAccount() { return kLocalSystem; }

std::wstring globals::NTAuthLocalSystemAccount() { return kLocalSystemAuthority; }

bool globals::IsLocalSystemAccount(const wchar_t* account) {
  if (!account) return false;
  const std::wstring name = account;
  return detail::iequal(name, kLocalSystem) || detail::iequal(name, kLocalSystemLocal) ||
         detail::iequal(name, kLocalSystemAuthority);
}

bool globals::IsLocalSystemAccount(const std::wstring& account) {
  return IsLocalSystemAccount(account.c_str());
}

std::wstring globals::GetSidLookupName(const std::wstring& account) {
  if (!IsLocalSystemAccount(account)) return account;
  std::wstring result = NTAuthLocalSystemAccount();
  log_at(kLogVerbose, L"globals::GetSidLookupName() detected local service account [" + account +
                          L"], returns [" + result + L"]");
  return result;
}

std::wstring globals::getaccounttextualsid(const std::wstring& account,
                                           const std::wstring& domain) {
  const std::wstring name = domain.empty() ? account : domain + L"\\" + account;
  const CSid sid(GetSidLookupName(name));
  if (detail::iequal(account, GetComputerNameW(false)))
    log_at(kLogVerbose, L"Computer (" + account + L") Textual Sid: " + sid.Sid());
  return sid.Sid();
}

void globals::InitializeImpl() {
  se_exception_initializer guard;
  try {
    _properties.clear();
    auto set = [this](const wchar_t* key, const std::wstring& value) { _properties[key] = value; };

    // Names.
    std::wstring computer;
    try {
      computer = GetComputerNameW(true);
    } catch (const w32_exception& e) {
      throw krException(e.code, "globals::getcomputername() failed", 4);
    }
    set(L"COMPUTERNAME", computer);
    log_at(kLogVerbose, L"globals::getcomputername() called. Computer's Name: " + computer);
    std::wstring host;
    unsigned long error = 0;
    detail::os_host_name(host, error);
    const std::wstring label = host.substr(0, host.find(L'.'));
    std::wstring fqdn = host;
    if (host.find(L'.') == std::wstring::npos) {
      fqdn = detail::os_canonical_name(label);
      if (fqdn.empty()) fqdn = label;
    }
    set(L"FQDNCOMPUTERNAME", fqdn);
    log_at(kLogVerbose, L"globals::getcomputername() retrieved the computers FQDN: " + fqdn);
    set(L"HOSTNAMECOMPUTERNAME", label);
    log_at(kLogVerbose, L"globals::getcomputername() retrieved the computers hostname: " + label);

    // Domain facts.
    log_at(kLogVerbose, L"globals::getdomainorworkgroup() called.");
    try {
      lsa policy;
      policy.openforread();
      bool workgroup = false;
      const std::wstring flat = policy.getdomainorworkgroupname(workgroup);
      set(L"FLATDOMAINNAME", flat);
      set(L"DOMAINNAME", flat);
      set(L"ISSTANDALONE", workgroup ? L"true" : L"false");
      if (workgroup) log_at(kLogVerbose, L"This Computer is standalone");
      log_at(kLogVerbose, L"This Computer's Domain/Workgroup (Old Style): " + flat);
      const std::wstring dns = policy.getdnsdomainname();
      if (!dns.empty()) {
        set(L"DOMAINNAME", dns);
        set(L"DNSDOMAINNAME", dns);
        log_at(kLogVerbose, L"This Computer's Domain Dns Domain Name is: " + dns);
      }
    } catch (const krException& e) {
      log_at(kLogError, L"globals::getdomainorworkgroup() failed. Message: " + e.whatwide());
    }

    // Directory names. There is no directory service to ask, so both stay
    // empty; the lookup's failure is reported as a directory lookup's would be.
    DWORD disabled = 0;
    const unsigned long rc = detail::read_registry_dword(
        L"SOFTWARE\\Zelvora\\Common", L"DisableGetComputerCanonicalName", disabled);
    if (rc != 0 && rc != 2) throw w32_exception(rc);
    if (rc != 0 || disabled == 0) {
      log_at(kLogVerbose, L"REG_DWORD_GETCOMPUTERCANONICALDISABLED not found or not set to disable");
      set(L"CANONICALNAME", L"");
      set(L"DISTINGUISHEDNAME", L"");
      const std::wstring reason = geterrormessage(detail::kErrorNoSuchDomain);
      log_at(kLogVerbose,
             L"krCore::Globals() unable to retrieve this computers canonical name. Reason: " + reason);
      log_at(kLogVerbose,
             L"krCore::Globals() unable to retrieve this computers distinguished name. Reason: " +
                 reason);
    } else {
      log_at(kLogVerbose,
             L"REG_DWORD_GETCOMPUTERCANONICALDISABLED is enabled and will NOT fetch canonical name "
             L"for this computer");
    }

    // Processors.
    const std::wstring count = std::to_wstring(detail::os_processor_count());
    set(L"NUMPROCESSORS", count);
    log_at(kLogVerbose, L"Number of processors is: " + count);
    const std::wstring arch = detail::processor_architecture_name(detail::os_machine());
    set(L"OS_PROCESSOR_ARCHITECTURE", arch);
    log_at(kLogVerbose, L"OS Processor Type: " + arch);

    // Process account.
    std::wstring user = L"Unknown";
    try {
      user = GetThreadUserNameEx(2, true);
    } catch (const w32_exception& e) {
      log_at(kLogVerbose, L"globals() GetUserNameEx failed. Error Code: " + std::to_wstring(e.code));
    }
    set(L"PROCESSTOKENUSER", user);
    log_at(kLogVerbose, L"Process Token User: " + user);

    // Machine identifier.
    log_at(kLogVerbose, L"Retrieving local computer sid for " + computer);
    try {
      const std::wstring sid = getaccounttextualsid(computer, L"");
      set(L"COMPUTERTEXTUALSID", sid);
      log_at(kLogVerbose, L"Computer's Textual Sid: " + sid);
    } catch (const w32_exception&) {
      log_at(kLogVerbose, L"Unable to retrieve computer's Textual Sid");
    }

    // Operating system.
    const OSVERSIONINFOEXW version = GetOSVersion();
    wchar_t text[64];
    std::swprintf(text, 64, L"%u.%u.%u.%u", version.dwMajorVersion, version.dwMinorVersion,
                  version.dwBuildNumber, static_cast<unsigned>(version.wServicePackMajor));
    set(L"OSVERSION", text);
    const wchar_t* type = version.wProductType == VER_NT_DOMAIN_CONTROLLER ? L"DOMAINCONTROLLER"
                          : version.wProductType == VER_NT_SERVER          ? L"SERVER"
                                                                           : L"WORKSTATION";
    set(L"OSTYPE", type);
    log_at(kLogVerbose, std::wstring(L"computer type is ") + type);
    // Only a 32-bit build on a 64-bit kernel runs the way WOW64 processes do.
    const bool wow64 = sizeof(void*) == 4 && detail::os_is_64bit();
    log_at(kLogVerbose, wow64 ? L"Process IS running in WOW64 mode"
                              : L"Process is NOT running in WOW64 mode");
    set(L"ISWOW64", wow64 ? L"true" : L"false");

    _initialized.exchange(1);
    log_at(kLogNormal, L"globals::InitializeImpl() completed");
  } catch (...) {
    guard.Analyze(__FILE__, __LINE__);
    log_at(kLogError, L"globals::InitializeImpl() failed. Message: " + guard.infostring());
  }
}

}  // namespace krCore
