// Signature checks against trusted publishers: access test, the trust
// provider's verdict, the signer's names from the embedded signature, and
// the publisher matched against each pattern in turn.
#include <krcore/logging.h>
#include <krcore/signatures.h>

#include <cwchar>
#include <filesystem>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers (clang has no such warning).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "logging/logsink.h"
#include "signatures/crypto_api.h"
#include "signatures/publishers.h"

namespace krCore {
namespace {

// One text formatted from a printf-style pattern with one integer.
std::wstring formatted(const wchar_t* pattern, int value) {
  wchar_t buffer[512];
  // swprintf leaves the buffer undefined when the text does not fit.
  const int n = std::swprintf(buffer, sizeof buffer / sizeof buffer[0], pattern, value);
  return n < 0 ? std::wstring(pattern) : std::wstring(buffer, static_cast<std::size_t>(n));
}

// _waccess(file, 0): 0 when the file exists, else -1.
int access_file(const std::wstring& file) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::path(detail::file_name_from_wide(file)), error) ? 0
                                                                                             : -1;
}

// The trust provider's status for `file`, asked without a window, user
// interface or revocation check.
long trust_status(const std::wstring& file) {
  detail::WINTRUST_FILE_INFO info{};
  info.cbStruct = 16;
  info.pcwszFilePath = file.c_str();
  detail::WINTRUST_DATA data{};
  data.cbStruct = 48;
  data.dwUIChoice = 2;
  data.fdwRevocationChecks = 0;
  data.dwUnionChoice = 1;
  data.pFile = &info;
  data.dwStateAction = 0;
  data.dwProvFlags = 0x10;
  return detail::WinVerifyTrust(reinterpret_cast<HWND>(-1), &detail::kActionGenericVerifyV2, &data);
}

// Logs `text` at normal level and throws it with `code`.
[[noreturn]] void fail(unsigned long code, const std::wstring& text) {
  detail::log_entry(detail::kLogNormal, text);
  throw krException(code, text, 4);
}

}  // namespace

namespace detail {

bool publisher_matches(const std::wstring& pattern, const std::wstring& text) {
  const std::wregex expr(pattern, std::regex_constants::ECMAScript | std::regex_constants::icase);
  const bool result = std::regex_match(text, expr);
  if (detail::log_enabled(detail::kLogVerbose))
    detail::log_entry(detail::kLogVerbose, L"TestExpr() - pattern [" + pattern + L"], str [" +
                                               text + L"], ignore case [1] - result [" +
                                               (result ? L"1" : L"0") + L"]");
  return result;
}

}  // namespace detail

namespace {

// True when `file` can be read; otherwise logs the access failure, as both
// checks of a file report it, and gives false.
bool readable_file(const std::wstring& file) {
  const int access = access_file(file);
  if (access == 0) return true;
  if (detail::log_enabled(detail::kLogNormal))
    detail::log_entry(detail::kLogNormal,
                      formatted(L"verifydigitalcertificate::_taccess failed. Error Code: %d", access));
  return false;
}

}  // namespace

unsigned int GetTrustedPublishers(std::vector<std::wstring>& publishers) {
  publishers = {L"Microsoft\\b.*", L"Vantrel\\b.*", L"Zelvora LLC"};
  return static_cast<unsigned int>(publishers.size());
}

bool verifydigitalcertificate(const std::vector<std::wstring>& publishers,
                              const std::wstring& file) {
  if (!readable_file(file)) return false;
  const long status = trust_status(file);
  if (status != 0) {
    if (detail::log_enabled(detail::kLogWarning))
      detail::log_entry(detail::kLogWarning,
                        L"verifydigitalcertificate::WinVerifyTrust failed. Error Code: " +
                            std::to_wstring(status));
    return false;
  }
  std::wstring publisher, issuer;
  getfiledigitalsignatureinfo(file, publisher, issuer);
  for (const std::wstring& pattern : publishers)
    if (detail::publisher_matches(pattern, publisher)) return true;
  return false;
}

unsigned long winverifytrustonfile(const std::wstring& file) {
  if (!readable_file(file)) return 0;
  const long status = trust_status(file);
  if (status != 0 && detail::log_enabled(detail::kLogNormal))
    detail::log_entry(detail::kLogNormal,
                      formatted(L"winverifytrust::WinVerifyTrust failed. Error Code: %d",
                                static_cast<int>(status)));
  return static_cast<std::uint32_t>(status);
}

void getfiledigitalsignatureinfo(const std::wstring& file, std::wstring& publisher,
                                 std::wstring& issuer) {
  // Every resource is released on every path, the throwing ones included.
  struct resources {
    HCERTSTORE store = nullptr;
    detail::HCRYPTMSG message = nullptr;
    void* signer = nullptr;
    AutoCertContext_t cert;
    ~resources() {
      detail::LocalFree(signer);
      if (message) detail::CryptMsgClose(message);
      if (store) detail::CertCloseStore(store, 0);
    }
  } r;
  const auto code = [] { return static_cast<int>(::GetLastError()); };

  if (!detail::CryptQueryObject(detail::kQueryObjectFile, file.c_str(),
                                detail::kQueryContentPkcs7SignedEmbed, detail::kQueryFormatBinary,
                                &r.store, &r.message))
    fail(::GetLastError(),
         formatted(L"gettrustedpublishersfromdigitalcertificate::CryptQueryObject failed. "
                   L"Error Code: %d",
                   code()));
  DWORD size = 0;
  if (!detail::CryptMsgGetParam(r.message, detail::kMsgSignerInfoParam, 0, nullptr, &size))
    fail(::GetLastError(),
         formatted(L"gettrustedpublishersfromdigitalcertificate::CryptMsgGetParam failed. "
                   L"Error Code: %d",
                   code()));
  r.signer = detail::LocalAlloc(0x40, size);
  if (!r.signer)
    fail(::GetLastError(),
         formatted(L"gettrustedpublishersfromdigitalcertificate::LocalAlloc failed. Error Code: %d",
                   code()));
  if (!detail::CryptMsgGetParam(r.message, detail::kMsgSignerInfoParam, 0, r.signer, &size))
    fail(::GetLastError(),
         formatted(L"gettrustedpublishersfromdigitalcertificate::CryptMsgGetParam failed. "
                   L"Error Code: %d",
                   code()));

  const auto* signer = static_cast<const detail::CMSG_SIGNER_INFO*>(r.signer);
  CERT_INFO key{};
  key.Issuer = signer->Issuer;
  key.SerialNumber = signer->SerialNumber;
  r.cert = AutoCertContext_t(
      detail::CertFindCertificateInStore(r.store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                         detail::kFindSubjectCert, &key, nullptr));
  if (!r.cert.get()) {
    const unsigned long error = ::GetLastError();
    const std::wstring text = formatted(
        L"gettrustedpublishersfromdigitalcertificate::CertFindCertificateInStore failed. "
        L"Error Code: %d",
        static_cast<int>(error));
    LOG(text);
    throw krException(error, text, 4);
  }

  publisher = getcertinfofromcertcontext(CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, r.cert.get());
  issuer = getcertinfofromcertcontext(CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG,
                                      r.cert.get());
  if (detail::log_enabled(detail::kLogVerbose))
    detail::log_entry(detail::kLogVerbose, L"getfiledigitalsignatureinfo - publisher [" +
                                               publisher + L"], issuer [" + issuer +
                                               L"] from file [" + file + L"]");
}

}  // namespace krCore
