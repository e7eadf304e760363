// The local security authority on Windows: the system's policy (LsaOpenPolicy
// and the calls on its handle). Status codes become Win32 codes through
// LsaNtStatusToWinError. The account domain's SID for the built-in
// Administrator test is read here too.
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>

#include <krcore/exceptions.h>
#include <krcore/holders.h>
#include <krcore/security.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "security/identity.h"
#include "security/text.h"
#include "security/windows/token.h"

namespace krCore {
namespace {

// A block the policy calls return; freed with LsaFreeMemory.
class lsa_memory {
 public:
  lsa_memory() = default;
  ~lsa_memory() {
    if (_block) ::LsaFreeMemory(_block);
  }
  lsa_memory(const lsa_memory&) = delete;
  lsa_memory& operator=(const lsa_memory&) = delete;
  void** out() { return &_block; }
  template <class T>
  T* as() const {
    return static_cast<T*>(_block);
  }

 private:
  void* _block = nullptr;
};

// A policy handle of its own, for the account-domain question.
class lsa_handle {
 public:
  explicit lsa_handle(ACCESS_MASK access) {
    LSA_OBJECT_ATTRIBUTES attributes{};
    _status = ::LsaOpenPolicy(nullptr, &attributes, access, &_handle);
  }
  ~lsa_handle() {
    if (_handle) ::LsaClose(_handle);
  }
  lsa_handle(const lsa_handle&) = delete;
  lsa_handle& operator=(const lsa_handle&) = delete;
  NTSTATUS status() const { return _status; }
  LSA_HANDLE get() const { return _handle; }

 private:
  LSA_HANDLE _handle = nullptr;
  NTSTATUS _status = 0;
};

// The status codes this file answers itself (ntstatus.h clashes with
// windows.h).
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034L);

[[noreturn]] void fail(unsigned long code, const char* text) { throw krException(code, text, 4); }

unsigned long win32(NTSTATUS status) { return ::LsaNtStatusToWinError(status); }

std::wstring text_of(const LSA_UNICODE_STRING& text) {
  if (!text.Buffer) return std::wstring();
  return std::wstring(text.Buffer, text.Length / sizeof(wchar_t));
}

LSA_UNICODE_STRING unicode(const std::wstring& text) {
  LSA_UNICODE_STRING out;
  out.Buffer = const_cast<PWSTR>(text.c_str());
  out.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  out.MaximumLength = out.Length;
  return out;
}

// The binary SID of an account, resolved as the rights are keyed on it.
std::vector<BYTE> rights_holder(const std::wstring& account, const char* text) {
  CSid sid;
  if (!sid.LoadAccount(detail::rights_account_name(account).c_str()))
    fail(detail::kErrorNoneMapped, text);
  std::vector<BYTE> binary = detail::binary_sid(sid);
  if (binary.empty()) fail(detail::kErrorNoneMapped, text);
  return binary;
}

}  // namespace

namespace detail {

unsigned long account_domain_sid(std::wstring& text) {
  const lsa_handle policy(POLICY_VIEW_LOCAL_INFORMATION);
  if (policy.status() != 0) return win32(policy.status());
  lsa_memory info;
  const NTSTATUS status =
      ::LsaQueryInformationPolicy(policy.get(), PolicyAccountDomainInformation, info.out());
  if (status != 0) return win32(status);
  const auto* domain = info.as<POLICY_ACCOUNT_DOMAIN_INFO>();
  LPWSTR sid = nullptr;
  if (!domain->DomainSid || !::ConvertSidToStringSidW(domain->DomainSid, &sid)) return 2;
  auto_localfree hold(sid);
  text = sid;
  return 0;
}

}  // namespace detail

void lsa::close() {
  if (_handle) ::LsaClose(static_cast<LSA_HANDLE>(_handle));
  _handle = nullptr;
}

void lsa::open(unsigned long access) {
  detail::log_at(detail::kLogNormal, L"lsa::open() called.");
  close();
  LSA_OBJECT_ATTRIBUTES attributes{};
  LSA_HANDLE handle = nullptr;
  const NTSTATUS status = ::LsaOpenPolicy(nullptr, &attributes, access, &handle);
  if (status != 0) {
    const unsigned long code = win32(status);
    char text[96];
    std::snprintf(text, sizeof text, "lsa::open() LsaOpenPolicy() call failed. Error Code: %d",
                  static_cast<int>(code));
    detail::log_at(detail::kLogNormal, detail::wide_from_utf8(text));
    fail(code, text);
  }
  _handle = handle;
}

std::wstring lsa::getdomainorworkgroupname(bool& isWorkgroup) {
  lsa_memory info;
  const NTSTATUS status =
      _handle ? ::LsaQueryInformationPolicy(static_cast<LSA_HANDLE>(_handle),
                                            PolicyPrimaryDomainInformation, info.out())
              : kStatusInvalidHandle;
  if (status != 0) {
    const unsigned long code = win32(status);
    char text[128];
    std::snprintf(text, sizeof text,
                  "lsa::getdomainorworkgroupname() LsaQueryInformationPolicy() call failed. "
                  "Error Code: %d",
                  static_cast<int>(code));
    detail::log_at(detail::kLogNormal, detail::wide_from_utf8(text));
    fail(code, text);
  }
  const auto* primary = info.as<POLICY_PRIMARY_DOMAIN_INFO>();
  isWorkgroup = primary->Sid == nullptr;
  return text_of(primary->Name);
}

std::wstring lsa::getdnsdomainname() {
  lsa_memory info;
  const NTSTATUS status = _handle ? ::LsaQueryInformationPolicy(static_cast<LSA_HANDLE>(_handle),
                                                                PolicyDnsDomainInformation,
                                                                info.out())
                                  : kStatusInvalidHandle;
  if (status != 0)
    fail(win32(status),
         "lsa::getdnsdomainname():: LsaQueryInformationPolicy(PolicyDnsDomainInformation) failed.");
  return text_of(info.as<POLICY_DNS_DOMAIN_INFO>()->DnsDomainName);
}

void lsa::modifyrightforuser(const std::wstring& account, const std::wstring& right, bool add) {
  const char* text = add ? "lsa::addrighttouser() LsaAddAccountRights() failed."
                         : "lsa::addrighttouser() LsaRemoveAccountRights() failed.";
  if (!_handle) fail(ERROR_INVALID_HANDLE, text);
  std::vector<BYTE> sid = rights_holder(account, text);
  LSA_UNICODE_STRING name = unicode(right);
  const auto handle = static_cast<LSA_HANDLE>(_handle);
  const NTSTATUS status = add ? ::LsaAddAccountRights(handle, sid.data(), &name, 1)
                              : ::LsaRemoveAccountRights(handle, sid.data(), FALSE, &name, 1);
  if (status != 0) fail(win32(status), text);
}

std::vector<std::wstring> lsa::enumerateaccountrights(const std::wstring& account) {
  const char* text = "lsa::enumerateaccountrights() LsaEnumerateAccountRights() failed.";
  if (!_handle) fail(ERROR_INVALID_HANDLE, text);
  std::vector<BYTE> sid = rights_holder(account, text);
  lsa_memory rights;
  ULONG count = 0;
  const NTSTATUS status = ::LsaEnumerateAccountRights(
      static_cast<LSA_HANDLE>(_handle), sid.data(),
      reinterpret_cast<PLSA_UNICODE_STRING*>(rights.out()), &count);
  // An account the policy holds nothing for is not in it.
  if (status == kStatusObjectNameNotFound) return {};
  if (status != 0) fail(win32(status), text);
  std::vector<std::wstring> out;
  for (ULONG i = 0; i < count; ++i) out.push_back(text_of(rights.as<LSA_UNICODE_STRING>()[i]));
  return out;
}

}  // namespace krCore
