// Certificate helpers: names, properties, thumbprint and serial number of a
// certificate context, and the holder that owns one reference to it.
#include <krcore/signatures.h>
#include <krcore/sysutil.h>

#include <sstream>

#include "foundation/errors.h"
#include "logging/logsink.h"
#include "signatures/crypto_api.h"

namespace krCore {
namespace {

std::wstring hex_of(unsigned long code) {
  std::wostringstream os;
  os << std::hex << code;
  return os.str();
}

}  // namespace

std::wstring getcertinfofromcertcontext(unsigned long type, unsigned long flags,
                                        const CERT_CONTEXT* cert) {
  const auto failed = [] {
    const unsigned long error = ::GetLastError();
    const std::wstring text =
        L"getcertinfofromcertcontext::CertGetNameString() failed. Error Code: " +
        std::to_wstring(error);
    detail::log_entry(detail::kLogNormal, text);
    throw krException(error, text, 4);
  };
  const DWORD length = CertGetNameStringW(cert, static_cast<DWORD>(type), static_cast<DWORD>(flags),
                                          nullptr, nullptr, 0);
  if (length == 0) failed();
  std::wstring name(length, L'\0');
  const DWORD written = CertGetNameStringW(cert, static_cast<DWORD>(type),
                                           static_cast<DWORD>(flags), nullptr, name.data(), length);
  if (written == 0) failed();
  name.resize(written - 1);
  return name;
}

unsigned long getCertificateProperty(const CERT_CONTEXT* cert, unsigned long id,
                                     std::vector<unsigned char>& data) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, static_cast<DWORD>(id), nullptr, &size)) {
    const unsigned long error = ::GetLastError();
    if (detail::log_enabled(detail::kLogError))
      detail::log_entry(detail::kLogError, L"getCertificateProperty - failed to get property [" +
                                               std::to_wstring(id) + L"] size with error: 0x" +
                                               hex_of(error));
    return error;
  }
  if (detail::log_enabled(detail::kLogVerbose))
    detail::log_entry(detail::kLogVerbose, L"getCertificateProperty - property [" +
                                               std::to_wstring(id) + L"] data size is [" +
                                               std::to_wstring(size) + L"]");
  data.resize(size);
  if (!CertGetCertificateContextProperty(cert, static_cast<DWORD>(id), data.data(), &size)) {
    const unsigned long error = ::GetLastError();
    if (detail::log_enabled(detail::kLogError))
      detail::log_entry(detail::kLogError, L"getCertificateProperty - failed to get property [" +
                                               std::to_wstring(id) + L"] data size [" +
                                               std::to_wstring(size) + L"] with error: 0x" +
                                               hex_of(error));
    return error;
  }
  data.resize(size);
  return 0;
}

std::wstring getCertThumbprint(const CERT_CONTEXT* cert) {
  std::vector<unsigned char> hash;
  const unsigned long error = getCertificateProperty(cert, CERT_SHA1_HASH_PROP_ID, hash);
  if (error != 0) {
    if (detail::log_enabled(detail::kLogError))
      detail::log_entry(detail::kLogError,
                        L"Failed to get thumbprint, error code [0x" + hex_of(error) + L"]");
    return std::wstring();
  }
  if (detail::log_enabled(detail::kLogVerbose))
    detail::log_entry(detail::kLogVerbose,
                      L"getCertThumbprint() - CertGetCertificateContextProperty() returned a "
                      L"length of " +
                          std::to_wstring(hash.size()) + L" bytes");
  std::wstring text =
      BytesToHex(hash.data(), static_cast<unsigned int>(hash.size()), false, true);
  if (detail::log_enabled(detail::kLogVerbose))
    detail::log_entry(detail::kLogVerbose, L"getCertThumbprint() - thumbprint is " + text);
  return text;
}

std::wstring getCertSerialnumber(const CERT_CONTEXT* cert) {
  if (!cert || !cert->pCertInfo) return std::wstring();
  const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(std::size_t{serial.cbData} * 2);
  for (DWORD i = serial.cbData; i-- > 0;) {
    text += digits[serial.pbData[i] >> 4];
    text += digits[serial.pbData[i] & 0x0F];
  }
  return text;
}

void FreeCertificateContextImpl(const CERT_CONTEXT* cert) {
  if (!cert || CertFreeCertificateContext(cert)) return;
  const unsigned long error = ::GetLastError();
  if (detail::log_enabled(detail::kLogError))
    detail::log_entry(detail::kLogError,
                      L"FreeCertificateContextImpl - failed to free certificate context, error [" +
                          std::to_wstring(error) + L"], (0x" + hex_of(error) + L") - " +
                          geterrormessage(error));
}

AutoCertContext_t::AutoCertContext_t(const CERT_CONTEXT* context) : _context(context) {}

AutoCertContext_t::AutoCertContext_t(const AutoCertContext_t& other)
    : _context(DuplicateCertificateContext(other._context)) {}

// Copy() returns at once for the object itself.
AutoCertContext_t& AutoCertContext_t::operator=(const AutoCertContext_t& other) {  // NOLINT(bugprone-unhandled-self-assignment)
  Copy(other);
  return *this;
}

AutoCertContext_t::~AutoCertContext_t() { Delete(); }

const CERT_CONTEXT* AutoCertContext_t::release() {
  const CERT_CONTEXT* context = _context;
  _context = nullptr;
  return context;
}

void AutoCertContext_t::Copy(const AutoCertContext_t& other) {
  if (this == &other) return;
  // Duplicate first: `other` may hold the only other reference.
  const CERT_CONTEXT* duplicate = DuplicateCertificateContext(other._context);
  Delete();
  _context = duplicate;
}

void AutoCertContext_t::Delete() {
  FreeCertificateContextImpl(_context);
  _context = nullptr;
}

const CERT_CONTEXT* AutoCertContext_t::DuplicateCertificateContext(const CERT_CONTEXT* context) {
  return context ? CertDuplicateCertificateContext(context) : nullptr;
}

std::wstring DefaultCertSettings::Store() { return L"My"; }

}  // namespace krCore
