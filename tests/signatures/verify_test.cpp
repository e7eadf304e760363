// Trust verdicts of the library's own check on real signed PE files, beyond
// those verdicts_test.cpp shares with Windows: the files tampered with in the
// ways that matter, the roots folder as the one source of trust, counter-
// signatures, the certificate cache, and a bit-flip sweep over a signed file.
#include <krcore/signatures.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "signature_support.h"
#include "decoded_signature.h"
#include "signatures/authenticode.h"
#include "signatures/linux/pe_signature.h"

using namespace sigtest;
using krCore::winverifytrustonfile;

namespace {

// Where the signature sits in a signed file.
struct signature_place {
  krCore::detail::pe_layout layout;
  std::size_t der_end = 0;          // end of the signature's DER bytes
  std::size_t signature_value = 0;  // the signer's signature value
  std::size_t signature_length = 0;
};

signature_place locate(const std::vector<unsigned char>& bytes) {
  signature_place place;
  sigtest::pkcs7_ptr p7;
  EXPECT_EQ(0u, sigtest::read_signature(bytes.data(), bytes.size(), place.layout, p7));
  if (!p7) return place;
  const unsigned char* der = bytes.data() + place.layout.cert_table + 8;
  const unsigned char* p = der;
  sigtest::pkcs7_ptr again(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
  place.der_end = place.layout.cert_table + 8 + static_cast<std::size_t>(p - der);
  const ASN1_OCTET_STRING* value =
      sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0)->enc_digest;
  const auto at = std::search(bytes.begin() + static_cast<long>(place.layout.cert_table),
                              bytes.end(), value->data, value->data + value->length);
  place.signature_value = static_cast<std::size_t>(at - bytes.begin());
  place.signature_length = static_cast<std::size_t>(value->length);
  return place;
}

class TrustVerdict : public SignatureTest {};

}  // namespace

// A flipped bit in the signer's signature value is a bad signature, not a
// bad digest. (The changes the digest covers, and the checksum it leaves
// out, are the portable verdicts_test.cpp's part.)
TEST_F(TrustVerdict, AChangedSignatureValueIsABadSignature) {
  const std::vector<unsigned char> original = read_bytes(fixture("good64.exe"));
  const signature_place place = locate(original);
  const fs::path path = tampered("good64.exe", "signature.exe", [&](auto& b) {
    b[place.signature_value + place.signature_length / 2] ^= 0x01;
  });
  EXPECT_EQ(kBadSignature, winverifytrustonfile(path.wstring()));
}

TEST_F(TrustVerdict, BrokenCertificateDirectoriesMeanNoSignature) {
  const std::vector<unsigned char> original = read_bytes(fixture("good64.exe"));
  const signature_place place = locate(original);
  const std::size_t entry = place.layout.cert_entry;
  const auto size = static_cast<std::uint32_t>(original.size());
  const struct {
    const char* name;
    std::uint32_t offset, length;
  } entries[] = {
      {"beyond.exe", size + 16, 64},  // table outside the file
      {"overlong.exe", static_cast<std::uint32_t>(place.layout.cert_table), 0x7FFFFFF0},
      {"wrapping.exe", 0xFFFFFFF8u, 0x10},  // offset + size wraps
      {"inheaders.exe", 0x10, 0x100},       // over the headers
      {"short.exe", static_cast<std::uint32_t>(place.layout.cert_table), 4},
  };
  for (const auto& e : entries) {
    SCOPED_TRACE(e.name);
    const fs::path path = tampered("good64.exe", e.name, [&](auto& b) {
      put_le32(b, entry, e.offset);
      put_le32(b, entry + 4, e.length);
    });
    EXPECT_EQ(kNoSignature, winverifytrustonfile(path.wstring()));
    EXPECT_FALSE(oracle_accepts(path));
  }
  // The table's own entry with a wrong certificate type.
  const fs::path wrong_type =
      tampered("good64.exe", "type.exe", [&](auto& b) { b[place.layout.cert_table + 6] = 0x01; });
  EXPECT_EQ(kNoSignature, winverifytrustonfile(wrong_type.wstring()));
}

TEST_F(TrustVerdict, FilesThatAreNoPeImagesOrCannotBeRead) {
  const fs::path text = scratch / "notes.txt";
  write_bytes(text, {'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(kNotPe, winverifytrustonfile(text.wstring()));
  const fs::path empty = scratch / "empty.exe";
  write_bytes(empty, {});
  EXPECT_EQ(kNotPe, winverifytrustonfile(empty.wstring()));
  // A PE signature offset that points past the end.
  const fs::path cut = tampered("good64.exe", "cut.exe", [](auto& b) { b.resize(0x80); });
  EXPECT_EQ(kNotPe, winverifytrustonfile(cut.wstring()));
  // A folder exists but cannot be read as a file; the verifier gives the
  // HRESULT of the Win32 error.
  EXPECT_EQ(0x80070005ul, krCore::detail::verify_authenticode(scratch.string()));
  EXPECT_EQ(0x80070002ul, krCore::detail::verify_authenticode((scratch / "none.exe").string()));
}

// A large file is judged by its headers before the rest is read, and what
// is hashed is read in pieces: a sparse file of 512 MiB that is no image,
// and a signed one grown by 48 MiB, cost a few pages, not their size, in
// memory.
TEST_F(TrustVerdict, LargeFilesAreNotReadWholeToBeJudged) {
  struct rusage before {};
  ::getrusage(RUSAGE_SELF, &before);
  const fs::path sparse = scratch / "sparse.exe";
  write_bytes(sparse, {'X', 'Y'});
  fs::resize_file(sparse, std::uintmax_t{512} << 20);
  EXPECT_EQ(kNotPe, winverifytrustonfile(sparse.wstring()));
  const fs::path grown = tampered("good64.exe", "grown.exe", [](auto&) {});
  fs::resize_file(grown, fs::file_size(grown) + (std::uintmax_t{48} << 20));
  EXPECT_EQ(kBadDigest, winverifytrustonfile(grown.wstring()));
  struct rusage after {};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "KiB more at the peak";
}

TEST_F(TrustVerdict, TrustComesOnlyFromTheRootsFolder) {
  // Without the root, the intermediate the file carries leads nowhere.
  const fs::path none = scratch / "noroots";
  fs::create_directories(none);
  trust(none);
  EXPECT_EQ(kChaining, winverifytrustonfile(fixture("good64.exe").wstring()));
  EXPECT_FALSE(oracle_accepts(fixture("good64.exe"), none));

  // The stranger's own root, once trusted, makes its file trusted; a file
  // in the roots folder that holds no certificate is skipped.
  const fs::path other = scratch / "other";
  fs::create_directories(other);
  write_bytes(other / "junk.pem", {'n', 'o', 'p', 'e'});
  trust(other);
  EXPECT_EQ(kChaining, winverifytrustonfile(fixture("good64.exe").wstring()));
  fs::copy_file(trusted_roots() / "root.pem", other / "root.pem");
  EXPECT_EQ(kTrusted, winverifytrustonfile(fixture("good64.exe").wstring()));
}

// Every bit flipped inside the image or the signature's DER bytes is caught;
// only the checksum, the certificate-table entry and the table entry's
// length field are outside what the signature covers.
TEST_F(TrustVerdict, BitFlipSweepRejectsEveryChangeToSignedBytes) {
  std::vector<unsigned char> bytes = read_bytes(fixture("good64.exe"));
  const signature_place place = locate(bytes);
  const auto unsigned_field = [&](std::size_t i) {
    const auto& l = place.layout;
    return (i >= l.checksum && i < l.checksum + 4) || (i >= l.cert_entry && i < l.cert_entry + 8) ||
           (i >= l.cert_table && i < l.cert_table + 4);
  };
  std::size_t accepted = 0;
  for (std::size_t i = 0; i < place.der_end; ++i) {
    if (unsigned_field(i)) continue;
    const unsigned char mask = static_cast<unsigned char>(1u << (i % 8));
    bytes[i] ^= mask;
    const unsigned long verdict =
        krCore::detail::verify_authenticode_bytes(bytes.data(), bytes.size());
    bytes[i] ^= mask;
    if (verdict == kTrusted) {
      ++accepted;
      ADD_FAILURE() << "flip of bit " << (i % 8) << " at offset " << i << " was accepted";
      if (accepted > 40) break;
    }
  }
  EXPECT_EQ(0u, accepted);
}

// A signed message's certificates come from a cache of decoded ones: the
// message is still the one OpenSSL decodes from the whole bytes, and the
// same certificate bytes give the very same certificate the next time.
// (That changed certificate bytes never do is the bit-flip sweep's part.)
TEST_F(TrustVerdict, SignedMessagesDecodeAsWholeWithTheirCertificatesShared) {
  const auto encoded = [](PKCS7* p7) {
    unsigned char* out = nullptr;
    const int n = i2d_PKCS7(p7, &out);
    std::vector<unsigned char> bytes(out, out + std::max(n, 0));
    OPENSSL_free(out);
    return bytes;
  };
  const auto check = [&](const unsigned char* der, std::size_t size) {
    const unsigned char* p = der;
    const sigtest::pkcs7_ptr whole(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
    const auto first = krCore::detail::decode_pkcs7(der, size);
    const auto again = krCore::detail::decode_pkcs7(der, size);
    ASSERT_TRUE(whole && first && again);
    EXPECT_EQ(encoded(whole.get()), encoded(first.get()));
    const STACK_OF(X509)* certs = first->d.sign->cert;
    ASSERT_EQ(sk_X509_num(whole->d.sign->cert), sk_X509_num(certs));
    ASSERT_GT(sk_X509_num(certs), 0);
    for (int i = 0; i < sk_X509_num(certs); ++i)
      EXPECT_EQ(sk_X509_value(certs, i), sk_X509_value(again->d.sign->cert, i));
  };
  int tokens = 0;
  for (const char* name : {"good64.exe", "sha1.exe", "stamped.exe"}) {
    SCOPED_TRACE(name);
    const std::vector<unsigned char> bytes = read_bytes(fixture(name));
    krCore::detail::pe_layout layout;
    const unsigned char* der = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(0u, krCore::detail::find_pe_signature(bytes.data(), bytes.size(), layout, der, size));
    check(der, size);
    // The time-stamp token, where there is one, is a signed message too.
    const auto message = krCore::detail::decode_pkcs7(der, size);
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(message.get()), 0);
    const std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> token_oid(
        OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1), ASN1_OBJECT_free);
    const int at = X509at_get_attr_by_OBJ(signer->unauth_attr, token_oid.get(), -1);
    if (at < 0) continue;
    ++tokens;
    const ASN1_TYPE* token = X509_ATTRIBUTE_get0_type(X509at_get_attr(signer->unauth_attr, at), 0);
    ASSERT_EQ(V_ASN1_SEQUENCE, token->type);
    check(token->value.sequence->data, static_cast<std::size_t>(token->value.sequence->length));
  }
  EXPECT_EQ(1, tokens);
}

// Checks on several threads share the cache of decoded certificates while
// one thread keeps turning it over with certificates changed in their
// signature (each a new entry, more than it holds): every check keeps its
// verdict, and a certificate dropped from the cache stays alive for the
// checks still using it.
TEST_F(TrustVerdict, ChecksOnSeveralThreadsKeepTheirVerdictsWhileTheCacheTurnsOver) {
  const auto verdict = [](const std::vector<unsigned char>& b) {
    return krCore::detail::verify_authenticode_bytes(b.data(), b.size());
  };
  std::vector<unsigned char> changed = read_bytes(fixture("good64.exe"));
  sigtest::pkcs7_ptr p7;
  krCore::detail::pe_layout layout;
  ASSERT_EQ(0u, sigtest::read_signature(changed.data(), changed.size(), layout, p7));
  unsigned char* cert = nullptr;
  const int cert_size = i2d_X509(sk_X509_value(p7->d.sign->cert, 0), &cert);
  const auto at = std::search(changed.begin(), changed.end(), cert, cert + cert_size);
  OPENSSL_free(cert);
  ASSERT_NE(at, changed.end());
  const std::size_t signature_end = static_cast<std::size_t>(at - changed.begin() + cert_size);

  std::atomic<bool> turned_over{false};
  std::vector<std::thread> checks;
  for (const char* name : {"good64.exe", "stamped.exe"}) {
    checks.emplace_back([&, bytes = read_bytes(fixture(name))] {
      do EXPECT_EQ(kTrusted, verdict(bytes));
      while (!turned_over.load());
    });
  }
  // Each round flips one more bit: every round's certificate is a new one.
  for (std::size_t i = 0; i < 3 * 64; ++i) {
    changed[signature_end - 1 - i / 8] ^= static_cast<unsigned char>(1u << (i % 8));
    EXPECT_NE(kTrusted, verdict(changed));
  }
  turned_over = true;
  for (std::thread& t : checks) t.join();
}

// Files signed by others: Debian's EFI binaries chain to the distribution's
// Secure Boot CA and to nothing else.
TEST_F(TrustVerdict, DebianSignedEfiBinariesChainToTheirSecureBootCa) {
  const fs::path debian(DEBIAN_EFI);
  if (!fs::exists(debian / "roots")) GTEST_SKIP() << "Debian's signed EFI files are not at hand";
  const fs::path roots = debian / "roots";
  std::size_t checked = 0;
  for (const auto& entry : fs::directory_iterator(debian)) {
    if (entry.path().extension() != ".efi") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++checked;
    trust(roots);
    EXPECT_EQ(kTrusted, winverifytrustonfile(entry.path().wstring()));
    EXPECT_TRUE(std::system(("osslsigncode verify -CAfile '" +
                             (roots / "debian-secure-boot-ca.pem").string() + "' -in '" +
                             entry.path().string() + "' >/dev/null 2>&1")
                                .c_str()) == 0);

    std::vector<unsigned char> bytes = read_bytes(entry.path());
    bytes[bytes.size() / 3] ^= 0x10;
    EXPECT_EQ(kBadDigest, krCore::detail::verify_authenticode_bytes(bytes.data(), bytes.size()));

    // With the test root only: the signature carries no certificate beyond
    // the signer's, so no chain can be built.
    trust(trusted_roots());
    EXPECT_EQ(kChaining, winverifytrustonfile(entry.path().wstring()));
  }
  EXPECT_GE(checked, 3u);
}

namespace {

// `file` with an Authenticode counter-signature by `stamper` (the test
// time-stamp authority unless named) added to its signature, dated `when`;
// with `wrong_digest` it vouches for a signature value other than the
// signer's.
std::vector<unsigned char> countersigned(const std::vector<unsigned char>& file, std::time_t when,
                                         bool wrong_digest = false,
                                         const std::string& stamper = "tsa") {
  krCore::detail::pe_layout layout;
  sigtest::pkcs7_ptr p7;
  sigtest::read_signature(file.data(), file.size(), layout, p7);
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);

  // The stamper's certificate, then any issuers the file holds after it.
  BIO* in = BIO_new_file(fixture("stamper/" + stamper + ".pem").c_str(), "r");
  X509* tsa = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  while (X509* issuer = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) {
    PKCS7_add_certificate(p7.get(), issuer);
    X509_free(issuer);
  }
  BIO_free(in);
  in = BIO_new_file(fixture("stamper/" + stamper + ".key").c_str(), "r");
  EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO_free(in);

  PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
  PKCS7_SIGNER_INFO_set(counter, tsa, key, EVP_sha256());
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(si->enc_digest->data, si->enc_digest->length, hash, &n, EVP_sha256(), nullptr);
  if (wrong_digest) hash[0] ^= 1;
  PKCS7_add1_attrib_digest(counter, hash, static_cast<int>(n));
  PKCS7_add0_attrib_signing_time(counter, ASN1_UTCTIME_set(nullptr, when));
  PKCS7_add_attrib_content_type(counter, OBJ_nid2obj(NID_pkcs7_data));
  PKCS7_SIGNER_INFO_sign(counter);
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7_SIGNER_INFO(counter, &der);
  ASN1_STRING* value = ASN1_STRING_new();
  ASN1_STRING_set(value, der, length);
  OPENSSL_free(der);
  PKCS7_add_attribute(si, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, value);
  PKCS7_add_certificate(p7.get(), tsa);
  PKCS7_SIGNER_INFO_free(counter);
  X509_free(tsa);
  EVP_PKEY_free(key);

  // The image, then a certificate table holding the new signature.
  unsigned char* sig = nullptr;
  const int sig_length = i2d_PKCS7(p7.get(), &sig);
  std::vector<unsigned char> out(file.begin(), file.begin() + static_cast<long>(layout.cert_table));
  const std::uint32_t entry_length = 8 + static_cast<std::uint32_t>(sig_length);
  const std::uint32_t padded = (entry_length + 7) & ~7u;
  out.resize(layout.cert_table + padded, 0);
  put_le32(out, layout.cert_table, entry_length);
  out[layout.cert_table + 4] = 0x00;
  out[layout.cert_table + 5] = 0x02;
  out[layout.cert_table + 6] = 0x02;
  out[layout.cert_table + 7] = 0x00;
  std::memcpy(out.data() + layout.cert_table + 8, sig, static_cast<std::size_t>(sig_length));
  OPENSSL_free(sig);
  put_le32(out, layout.cert_entry + 4, padded);
  return out;
}

}  // namespace

TEST_F(TrustVerdict, CounterSignatureTimeDecidesAnExpiredSignersValidity) {
  const std::vector<unsigned char> expired = read_bytes(fixture("expired.exe"));
  const std::time_t while_valid = 1590969600;  // 2020-06-01, inside its validity
  const std::time_t after = 1640995200;        // 2022-01-01, past it

  const auto verdict = [](const std::vector<unsigned char>& b) {
    return krCore::detail::verify_authenticode_bytes(b.data(), b.size());
  };
  EXPECT_EQ(kTrusted, verdict(countersigned(expired, while_valid)));
  EXPECT_EQ(kExpired, verdict(countersigned(expired, after)));
  // A counter-signature that vouches for another signature is ignored.
  EXPECT_EQ(kExpired, verdict(countersigned(expired, while_valid, true)));
  // A certificate that names no usage chains to the same root but is no
  // time-stamp authority: its date counts for nothing.
  EXPECT_EQ(kExpired, verdict(countersigned(expired, while_valid, false, "plain")));
  // A time-stamp authority whose issuer serves servers only dates nothing.
  EXPECT_EQ(kExpired, verdict(countersigned(expired, while_valid, false, "server_ca_tsa")));
  // A good counter-signature on a file whose image was changed afterwards.
  std::vector<unsigned char> changed = countersigned(expired, while_valid);
  changed[0x50] ^= 1;
  EXPECT_EQ(kBadDigest, verdict(changed));
}

// Found by the fuzzer: a time stamp token naming a digest that cannot be set
// up left a copy of the token's content unfreed (the sanitizer pass sees the
// leak). Such a token is no time stamp, so the expired signer stays expired.
TEST_F(TrustVerdict, TimeStampTokenWithAnUnknownDigestIsIgnored) {
  std::vector<unsigned char> bytes = read_bytes(fixture("expired_stamped.exe"));
  // The token's signed data: version 3, then its one digest algorithm, SHA-256.
  const unsigned char token_head[] = {0x02, 0x01, 0x03, 0x31, 0x0f, 0x30, 0x0d, 0x06, 0x09,
                                      0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
  const auto at = std::search(bytes.begin(), bytes.end(), std::begin(token_head),
                              std::end(token_head));
  ASSERT_NE(at, bytes.end());
  at[11] ^= 0x80;  // the OID now names no digest
  EXPECT_EQ(kExpired, krCore::detail::verify_authenticode_bytes(bytes.data(), bytes.size()));
}
