// Certificate contexts and their helpers: creation from DER, names with the
// display fallbacks, thumbprint and serial number texts, properties, and
// the reference counting behind AutoCertContext_t.
#include <krcore/signatures.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <utility>

#include "signature_support.h"

using namespace sigtest;

namespace {

// A self-signed certificate with the name entries (field, value) and the
// serial number given as big-endian bytes, as a new context.
PCCERT_CONTEXT make_cert(const std::vector<std::pair<std::string, std::string>>& name,
                         const std::vector<unsigned char>& serial) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  BIGNUM* bn = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
  BN_free(bn);
  X509_NAME* n = X509_get_subject_name(cert);
  for (const auto& [field, value] : name)
    X509_NAME_add_entry_by_txt(n, field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, n);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert, &der);
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, size);
  OPENSSL_free(der);
  X509_free(cert);
  EVP_PKEY_free(key);
  return context;
}

std::wstring display(PCCERT_CONTEXT cert, unsigned long flags = 0) {
  return krCore::getcertinfofromcertcontext(CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, cert);
}

}  // namespace

TEST(CertContext, CreatesFromDerAndRefusesOtherBytes) {
  krCore::AutoCertContext_t cert(make_cert({{"CN", "Vantrel Software Ltd"}}, {0x42}));
  ASSERT_NE(nullptr, cert.get());
  EXPECT_EQ(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert.get()->dwCertEncodingType);
  EXPECT_GT(cert.get()->cbCertEncoded, 100u);
  ASSERT_NE(nullptr, cert.get()->pCertInfo);
  EXPECT_EQ(2u, cert.get()->pCertInfo->dwVersion);
  EXPECT_EQ(cert.get()->pCertInfo->Issuer.cbData, cert.get()->pCertInfo->Subject.cbData);

  const BYTE junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(nullptr, CertCreateCertificateContext(X509_ASN_ENCODING, junk, sizeof junk));
  EXPECT_EQ(0x8009310Bu, GetLastError());
  EXPECT_EQ(nullptr, CertCreateCertificateContext(0, junk, sizeof junk));
  EXPECT_EQ(0x80070057u, GetLastError());
}

TEST(CertContext, SimpleDisplayNameFallsBackAsTheSystemDoes) {
  const struct {
    std::vector<std::pair<std::string, std::string>> name;
    const wchar_t* expected;
  } cases[] = {
      {{{"O", "Org"}, {"CN", "First CN"}, {"CN", "Second CN"}}, L"First CN"},
      {{{"O", "Org"}, {"OU", "Unit"}}, L"Unit"},
      {{{"C", "GB"}, {"O", "Zelvora LLC"}}, L"Zelvora LLC"},
      {{{"emailAddress", "sign@example.org"}}, L"sign@example.org"},
      {{{"C", "GB"}, {"L", "Leeds"}}, L"GB"},
      {{{"CN", "Ünïcödé Signer"}}, L"Ünïcödé Signer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    krCore::AutoCertContext_t cert(make_cert(c.name, {0x01}));
    EXPECT_EQ(c.expected, display(cert));
    EXPECT_EQ(c.expected, display(cert, CERT_NAME_ISSUER_FLAG));  // self-signed
  }
}

TEST(CertContext, NameStringProtocolAndFailures) {
  krCore::AutoCertContext_t cert(make_cert({{"CN", "Vantrel"}}, {0x01}));
  EXPECT_EQ(8u, CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0));
  wchar_t small[4];
  EXPECT_EQ(4u, CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 4));
  EXPECT_STREQ(L"Van", small);
  // A name that is not there is the empty text, not a failure.
  EXPECT_EQ(L"", krCore::getcertinfofromcertcontext(CERT_NAME_EMAIL_TYPE, 0, cert));

  try {
    krCore::getcertinfofromcertcontext(CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const krException& e) {
    EXPECT_EQ(0x80070057u, e.code());
    EXPECT_STREQ("getcertinfofromcertcontext::CertGetNameString() failed. Error Code: 2147942487",
                 e.what());
  }
}

TEST(CertContext, SerialNumberIsWrittenMostSignificantByteFirst) {
  // Stored least significant first as 01 02 0A: the value 0x0A0201.
  krCore::AutoCertContext_t cert(make_cert({{"CN", "s"}}, {0x0A, 0x02, 0x01}));
  const CRYPT_INTEGER_BLOB& stored = cert.get()->pCertInfo->SerialNumber;
  ASSERT_EQ(3u, stored.cbData);
  EXPECT_EQ((std::vector<BYTE>{0x01, 0x02, 0x0A}),
            std::vector<BYTE>(stored.pbData, stored.pbData + 3));
  EXPECT_EQ(L"0a0201", krCore::getCertSerialnumber(cert));
  krCore::AutoCertContext_t small(make_cert({{"CN", "s"}}, {0x05}));
  EXPECT_EQ(L"05", krCore::getCertSerialnumber(small));
  EXPECT_EQ(L"", krCore::getCertSerialnumber(nullptr));
}

TEST(CertContext, ThumbprintIsTheSha1OfTheEncodingInSpacedLowerCaseHex) {
  krCore::AutoCertContext_t cert(make_cert({{"CN", "t"}}, {0x07}));
  unsigned char sha1[20];
  unsigned int n = 0;
  EVP_Digest(cert.get()->pbCertEncoded, cert.get()->cbCertEncoded, sha1, &n, EVP_sha1(), nullptr);
  std::wstring expected;
  for (unsigned i = 0; i < n; ++i) {
    wchar_t two[4];
    std::swprintf(two, 4, L"%02x", sha1[i]);
    expected += (i ? L" " : L"") + std::wstring(two);
  }
  const std::wstring thumbprint = krCore::getCertThumbprint(cert);
  EXPECT_EQ(expected, thumbprint);
  EXPECT_TRUE(std::regex_match(thumbprint, std::wregex(L"([0-9a-f]{2} ){19}[0-9a-f]{2}")));

  std::vector<unsigned char> data;
  EXPECT_EQ(0u, krCore::getCertificateProperty(cert, CERT_SHA256_HASH_PROP_ID, data));
  EXPECT_EQ(32u, data.size());
  EXPECT_EQ(0x80092004u, krCore::getCertificateProperty(cert, 9999, data));
  EXPECT_EQ(L"", krCore::getCertThumbprint(nullptr));
}

TEST(CertContext, HolderCopiesOwnTheirReferences) {
  PCCERT_CONTEXT raw = make_cert({{"CN", "Held"}}, {0x09});
  krCore::AutoCertContext_t* first = new krCore::AutoCertContext_t(raw);
  krCore::AutoCertContext_t copy(*first);
  EXPECT_EQ(raw, copy.get());
  krCore::AutoCertContext_t assigned;
  assigned = copy;
  assigned = assigned;  // self-assignment keeps the reference
  delete first;         // the copies still hold theirs
  EXPECT_EQ(L"Held", display(copy));
  EXPECT_EQ(L"Held", display(assigned));

  // Reassigning from an empty holder frees the held reference.
  copy = krCore::AutoCertContext_t();
  EXPECT_EQ(nullptr, copy.get());

  // release() hands the reference over; the caller frees it.
  const CERT_CONTEXT* released = assigned.release();
  EXPECT_EQ(nullptr, assigned.get());
  EXPECT_EQ(L"Held", display(released));
  const CERT_CONTEXT* extra = krCore::AutoCertContext_t::DuplicateCertificateContext(released);
  EXPECT_EQ(released, extra);
  EXPECT_EQ(nullptr, krCore::AutoCertContext_t::DuplicateCertificateContext(nullptr));
  krCore::FreeCertificateContextImpl(extra);
  EXPECT_EQ(L"Held", display(released));
  EXPECT_TRUE(CertFreeCertificateContext(released));
  EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}
