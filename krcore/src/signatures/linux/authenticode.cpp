// Authenticode verification with OpenSSL: the image digest recomputed over
// the file's bytes in one pass (streamed from the file in bounded pieces),
// the PKCS #7 signature over the indirect-data content, and the signer's
// chain built to the administrator's code-signing roots, each failure
// reported with the trust provider's code for it.
#include "signatures/authenticode.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/errors.h"
#include "foundation/process_calls.h"
#include "foundation/utf.h"
#include "signatures/crypto_api.h"
#include "signatures/linux/code_roots.h"
#include "signatures/linux/pe_signature.h"
#include "signatures/linux/x509_bytes.h"

namespace krCore::detail {
namespace {

constexpr unsigned long kTrustCertSignature = 0x80096004;  // TRUST_E_CERT_SIGNATURE
constexpr const char* kSpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kRfc3161TimestampOid = "1.3.6.1.4.1.311.3.3.1";

template <class T, void (*F)(T*)>
struct deleter {
  void operator()(T* p) const { F(p); }
};
using bio_ptr = std::unique_ptr<BIO, deleter<BIO, BIO_free_all>>;
using store_ptr = std::unique_ptr<X509_STORE, deleter<X509_STORE, X509_STORE_free>>;
using store_ctx_ptr = std::unique_ptr<X509_STORE_CTX, deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using algor_ptr = std::unique_ptr<X509_ALGOR, deleter<X509_ALGOR, X509_ALGOR_free>>;
using octets_ptr =
    std::unique_ptr<ASN1_OCTET_STRING, deleter<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>>;
using tst_ptr = std::unique_ptr<TS_TST_INFO, deleter<TS_TST_INFO, TS_TST_INFO_free>>;
using object_ptr = std::unique_ptr<ASN1_OBJECT, deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;

struct x509_stack_free {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using signers_ptr = std::unique_ptr<STACK_OF(X509), x509_stack_free>;

bool has_oid(const ASN1_OBJECT* obj, const char* oid) {
  char text[80] = {};
  return obj && OBJ_obj2txt(text, sizeof text, obj, 1) > 0 && std::strcmp(text, oid) == 0;
}

// Reads one definite-length DER header at *p within `end`; the body's
// length and tag are returned.
bool der_header(const unsigned char** p, const unsigned char* end, long* length, int* tag) {
  int cls = 0;
  const int r = ASN1_get_object(p, length, tag, &cls, end - *p);
  return !(r & 0x80) && r != 0x21 && *length <= end - *p;
}

// What the signature says about the image: the digest algorithm, the
// expected digest, and the bytes the signature covers (the content of the
// indirect-data sequence, without its header).
struct indirect_data {
  const EVP_MD* md = nullptr;
  std::vector<unsigned char> digest;
  const unsigned char* signed_bytes = nullptr;
  long signed_length = 0;
};

unsigned long read_indirect_data(PKCS7* signature, indirect_data& out) {
  PKCS7* inner = signature->d.sign->contents;
  if (!has_oid(inner->type, kSpcIndirectDataOid) || !inner->d.other ||
      inner->d.other->type != V_ASN1_SEQUENCE)
    return kTrustNoSignature;
  const ASN1_STRING* seq = inner->d.other->value.sequence;
  const unsigned char* p = seq->data;
  const unsigned char* end = p + seq->length;
  long length = 0;
  int tag = 0;
  if (!der_header(&p, end, &length, &tag) || tag != V_ASN1_SEQUENCE) return kTrustNoSignature;
  out.signed_bytes = p;
  out.signed_length = length;
  end = p + length;
  // SpcAttributeTypeAndOptionalValue, skipped; then the DigestInfo.
  if (!der_header(&p, end, &length, &tag) || tag != V_ASN1_SEQUENCE) return kTrustNoSignature;
  p += length;
  if (!der_header(&p, end, &length, &tag) || tag != V_ASN1_SEQUENCE) return kTrustNoSignature;
  const unsigned char* digest_end = p + length;
  algor_ptr algorithm(d2i_X509_ALGOR(nullptr, &p, digest_end - p));
  octets_ptr digest(algorithm ? d2i_ASN1_OCTET_STRING(nullptr, &p, digest_end - p) : nullptr);
  if (!digest) return kTrustNoSignature;
  out.md = EVP_get_digestbyobj(algorithm->algorithm);
  const int nid = out.md ? EVP_MD_get_type(out.md) : NID_undef;
  if (nid != NID_sha1 && nid != NID_sha256 && nid != NID_sha384 && nid != NID_sha512)
    return kTrustBadDigest;
  out.digest.assign(digest->data, digest->data + digest->length);
  return 0;
}

// Feeds bytes [from, to) of the image to a digest; false when they cannot
// be had.
using image_feed = std::function<bool(EVP_MD_CTX*, std::size_t, std::size_t)>;

// The Authenticode image digest: the whole file without the checksum, the
// certificate-table directory entry and the certificate table.
bool image_digest(const image_feed& feed, std::size_t size, const pe_layout& pe, const EVP_MD* md,
                  std::vector<unsigned char>& out) {
  md_ctx_ptr ctx(EVP_MD_CTX_new());
  const std::size_t after = pe.cert_table + pe.cert_size;
  if (!ctx || !EVP_DigestInit_ex(ctx.get(), md, nullptr) || !feed(ctx.get(), 0, pe.checksum) ||
      !feed(ctx.get(), pe.checksum + 4, pe.cert_entry) ||
      !feed(ctx.get(), pe.cert_entry + 8, pe.cert_table) || !feed(ctx.get(), after, size))
    return false;
  unsigned int n = EVP_MAX_MD_SIZE;
  out.resize(n);
  if (!EVP_DigestFinal_ex(ctx.get(), out.data(), &n)) return false;
  out.resize(n);
  return true;
}

// True when the certificate may be used for `usage` (an XKU_ flag): a
// certificate without an extended-key-usage extension is valid for every
// usage, one with it only for those it lists.
bool usage_allows(X509* cert, std::uint32_t usage) {
  return !(X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) ||
         (X509_get_extended_key_usage(cert) & usage) != 0;
}

// Builds `leaf`'s chain from `extra` to a root of `roots`, at `when` (or
// now when null), for `usage` (an XKU_ flag): a chain serves only what
// every certificate in it allows, so an issuer limited to other usages
// (a server-authentication authority, say) cannot lend its trust to a
// code-signing or time-stamping leaf. 0 or the trust provider's code for
// the failure.
unsigned long verify_chain(X509_STORE* roots, X509* leaf, STACK_OF(X509) * extra,
                           const std::time_t* when, std::uint32_t usage) {
  store_ctx_ptr ctx(X509_STORE_CTX_new());
  if (!ctx || !X509_STORE_CTX_init(ctx.get(), roots, leaf, extra)) return kCertChaining;
  if (when) X509_STORE_CTX_set_time(ctx.get(), 0, *when);
  if (X509_verify_cert(ctx.get()) == 1) {
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    for (int i = 0; i < sk_X509_num(chain); ++i)
      if (!usage_allows(sk_X509_value(chain, i), usage)) return kCertWrongUsage;
    return 0;
  }
  switch (X509_STORE_CTX_get_error(ctx.get())) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return kCertExpired;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return kCertUntrustedRoot;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return kTrustCertSignature;
    case X509_V_ERR_INVALID_PURPOSE:
      return kCertWrongUsage;
    default:
      return kCertChaining;
  }
}

// The one signer of a signed message and its certificate, or null.
X509* only_signer(PKCS7* message) {
  signers_ptr signers(PKCS7_get0_signers(message, nullptr, 0));
  if (!signers || sk_X509_num(signers.get()) != 1) return nullptr;
  return sk_X509_value(signers.get(), 0);
}

// True when the certificate lists the time-stamping usage. A time's signer
// must say so explicitly: a certificate without any usage extension (a
// code-signing one, say) could otherwise date its own signature as it
// pleases and keep it valid past its expiry.
bool stamps_time(X509* cert) {
  return (X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) &&
         (X509_get_extended_key_usage(cert) & XKU_TIMESTAMP) != 0;
}

// True when `expected` is the `md` digest of the signer's signature value,
// which is what time stamps and counter-signatures vouch for.
bool vouches_for(const EVP_MD* md, const PKCS7_SIGNER_INFO* signer,
                 const ASN1_OCTET_STRING* expected) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  return md && expected &&
         EVP_Digest(signer->enc_digest->data, signer->enc_digest->length, hash, &n, md, nullptr) &&
         static_cast<int>(n) == expected->length && std::memcmp(hash, expected->data, n) == 0;
}

// Seconds since 1970 of an ASN.1 time; false when it cannot be read.
bool unix_time(const ASN1_TIME* time, std::time_t* out) {
  struct tm tm {};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return false;
  *out = timegm(&tm);
  return true;
}

// The time of a valid RFC 3161 time stamp over `signer`'s signature: the
// token's signature verifies, it stamps this signature's value, and its
// signer chains to a trusted root at the stamped time.
bool timestamp_time(PKCS7_SIGNER_INFO* signer, X509_STORE* roots, std::time_t* when) {
  object_ptr oid(OBJ_txt2obj(kRfc3161TimestampOid, 1));
  STACK_OF(X509_ATTRIBUTE)* attrs = signer->unauth_attr;
  const int at = X509at_get_attr_by_OBJ(attrs, oid.get(), -1);
  if (at < 0) return false;
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(X509at_get_attr(attrs, at), 0);
  if (!value || value->type != V_ASN1_SEQUENCE) return false;
  pkcs7_ptr token(decode_pkcs7(value->value.sequence->data,
                               static_cast<std::size_t>(value->value.sequence->length)));
  if (!token || !PKCS7_type_is_signed(token.get()) || !token->d.sign->contents) return false;
  PKCS7* inner = token->d.sign->contents;
  if (OBJ_obj2nid(inner->type) != NID_id_smime_ct_TSTInfo || !inner->d.other ||
      inner->d.other->type != V_ASN1_OCTET_STRING)
    return false;
  const ASN1_OCTET_STRING* content = inner->d.other->value.octet_string;
  const unsigned char* q = content->data;
  tst_ptr info(d2i_TS_TST_INFO(nullptr, &q, content->length));
  if (!info) return false;

  // The token's own embedded content is what its signature covers, so no
  // data is passed in: given a memory BIO, PKCS7_verify makes a copy of it
  // that it never frees when the token's digest algorithm cannot be set up.
  if (PKCS7_verify(token.get(), nullptr, nullptr, nullptr, nullptr,
                   PKCS7_NOVERIFY | PKCS7_BINARY) != 1)
    return false;
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
  std::time_t stamp = 0;
  if (!vouches_for(md, signer, TS_MSG_IMPRINT_get_msg(imprint)) ||
      !unix_time(TS_TST_INFO_get_time(info.get()), &stamp))
    return false;
  X509* tsa = only_signer(token.get());
  if (!tsa || !stamps_time(tsa) ||
      verify_chain(roots, tsa, token->d.sign->cert, &stamp, XKU_TIMESTAMP) != 0)
    return false;
  *when = stamp;
  return true;
}

// Parameters of a hash or RSA algorithm are absent or NULL.
bool plain_parameters(const X509_ALGOR* algorithm) {
  return !algorithm->parameter || algorithm->parameter->type == V_ASN1_NULL;
}

// The parts of the signed message that its signature does not cover must
// have the one form Authenticode gives them: version 1, a single digest
// algorithm that is the signer's, the signer named by the exact issuer
// encoding and serial number of its certificate, and a signature algorithm
// of the signer's key type (and digest, when it names one). Otherwise a changed byte there would
// pass.
bool signer_well_formed(PKCS7* message, PKCS7_SIGNER_INFO* si, X509* leaf) {
  const PKCS7_SIGNED* sd = message->d.sign;
  if (ASN1_INTEGER_get(sd->version) != 1 || ASN1_INTEGER_get(si->version) != 1) return false;
  if (sk_X509_ALGOR_num(sd->md_algs) != 1) return false;
  const X509_ALGOR* listed = sk_X509_ALGOR_value(sd->md_algs, 0);
  if (OBJ_cmp(listed->algorithm, si->digest_alg->algorithm) != 0 || !plain_parameters(listed) ||
      !plain_parameters(si->digest_alg))
    return false;
  if (name_der(si->issuer_and_serial->issuer) != name_der(X509_get_issuer_name(leaf)) ||
      ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(leaf)) != 0)
    return false;
  const EVP_PKEY* key = X509_get0_pubkey(leaf);
  if (!key) return false;
  const int key_type = EVP_PKEY_get_base_id(key);
  const int nid = OBJ_obj2nid(si->digest_enc_alg->algorithm);
  int digest_nid = NID_undef, key_nid = NID_undef;
  if (nid != key_type && !(OBJ_find_sigid_algs(nid, &digest_nid, &key_nid) && key_nid == key_type &&
                           digest_nid == OBJ_obj2nid(si->digest_alg->algorithm)))
    return false;
  return key_type != EVP_PKEY_RSA || plain_parameters(si->digest_enc_alg);
}

using signer_info_ptr =
    std::unique_ptr<PKCS7_SIGNER_INFO, deleter<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>>;

// The signing time of a valid Authenticode counter-signature on `signer`:
// its message digest is that of the signer's signature value, its signature
// over its authenticated attributes verifies with its signer's key (one of
// the certificates `message` carries), and that signer chains to a trusted
// root at the signing time.
bool countersignature_time(PKCS7* message, PKCS7_SIGNER_INFO* signer, X509_STORE* roots,
                           std::time_t* when) {
  const ASN1_TYPE* attr = PKCS7_get_attribute(signer, NID_pkcs9_countersignature);
  if (!attr || attr->type != V_ASN1_SEQUENCE) return false;
  const unsigned char* p = attr->value.sequence->data;
  signer_info_ptr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, attr->value.sequence->length));
  if (!counter || !counter->auth_attr) return false;
  X509* stamper =
      X509_find_by_issuer_and_serial(message->d.sign->cert, counter->issuer_and_serial->issuer,
                                     counter->issuer_and_serial->serial);
  const EVP_MD* md = EVP_get_digestbyobj(counter->digest_alg->algorithm);
  const ASN1_TYPE* digest = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_messageDigest);
  const ASN1_TYPE* time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  if (!stamper || !md || !digest || digest->type != V_ASN1_OCTET_STRING || !time ||
      (time->type != V_ASN1_UTCTIME && time->type != V_ASN1_GENERALIZEDTIME))
    return false;
  if (!vouches_for(md, signer, digest->value.octet_string)) return false;

  // The authenticated attributes are signed in their DER form as a SET OF.
  unsigned char* attrs = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(counter->auth_attr), &attrs,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  md_ctx_ptr ctx(EVP_MD_CTX_new());
  EVP_PKEY* key = X509_get0_pubkey(stamper);
  const bool verified = length > 0 && ctx && key &&
                        EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
                        EVP_DigestVerify(ctx.get(), counter->enc_digest->data,
                                         static_cast<std::size_t>(counter->enc_digest->length),
                                         attrs, static_cast<std::size_t>(length)) == 1;
  OPENSSL_free(attrs);
  std::time_t signed_at = 0;
  if (!verified || !unix_time(time->value.utctime, &signed_at)) return false;
  if (!stamps_time(stamper) ||
      verify_chain(roots, stamper, message->d.sign->cert, &signed_at, XKU_TIMESTAMP) != 0)
    return false;
  *when = signed_at;
  return true;
}

unsigned long verify_signed_image(const pe_layout& pe, const pkcs7_ptr& signature,
                                  const image_feed& feed, std::size_t size) {
  indirect_data content;
  if (unsigned long r = read_indirect_data(signature.get(), content)) return r;

  std::vector<unsigned char> digest;
  if (!image_digest(feed, size, pe, content.md, digest) || digest != content.digest)
    return kTrustBadDigest;

  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(signature.get());
  X509* leaf = only_signer(signature.get());
  if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) != 1 || !leaf) return kTrustNoSignature;
  if (!signer_well_formed(signature.get(), sk_PKCS7_SIGNER_INFO_value(signers, 0), leaf))
    return kBadSignature;
  bio_ptr in(BIO_new_mem_buf(content.signed_bytes, static_cast<int>(content.signed_length)));
  if (PKCS7_verify(signature.get(), nullptr, nullptr, in.get(), nullptr,
                   PKCS7_NOVERIFY | PKCS7_BINARY) != 1)
    return kBadSignature;

  store_ptr roots(trusted_roots());
  if (!roots) return kCertChaining;
  std::time_t stamp = 0;
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  const bool stamped = timestamp_time(signer, roots.get(), &stamp) ||
                       countersignature_time(signature.get(), signer, roots.get(), &stamp);
  return verify_chain(roots.get(), leaf, signature->d.sign->cert, stamped ? &stamp : nullptr,
                      XKU_CODE_SIGN);
}

}  // namespace

std::string codesign_roots_folder() {
  const char* env = library_setting("KRCORE_CODESIGN_ROOTS");
  return env && *env ? std::string(env) : std::string("/etc/krcore/codesign-roots");
}

unsigned long verify_authenticode_bytes(const unsigned char* data, std::size_t size) {
  pe_layout pe;
  pkcs7_ptr signature;
  unsigned long result = read_pe_signature(data, size, pe, signature);
  if (result == 0)
    result = verify_signed_image(
        pe, signature,
        [data](EVP_MD_CTX* ctx, std::size_t from, std::size_t to) {
          return EVP_DigestUpdate(ctx, data + from, to - from) == 1;
        },
        size);
  // Failed checks leave OpenSSL's reasons on the thread's error queue; they
  // are summed up in the result.
  ERR_clear_error();
  return result;
}

unsigned long verify_authenticode(const std::string& path) {
  pe_file file;
  if (unsigned long error = file.open(path))
    return static_cast<std::uint32_t>(hresult_from_win32(error));
  pe_layout pe;
  pkcs7_ptr signature;
  unsigned long result = file.read_signature(pe, signature);
  if (result == 0)
    result = verify_signed_image(
        pe, signature,
        [&file](EVP_MD_CTX* ctx, std::size_t from, std::size_t to) {
          return file.digest_range(ctx, from, to);
        },
        static_cast<std::size_t>(file.size()));
  ERR_clear_error();
  return result;
}

long WinVerifyTrust(HWND, const GUID* action, WINTRUST_DATA* data) {
  if (!action || *action != kActionGenericVerifyV2)
    return static_cast<std::int32_t>(kTrustActionUnknown);
  if (!data || data->dwUnionChoice != 1 || !data->pFile || !data->pFile->pcwszFilePath)
    return static_cast<std::int32_t>(kInvalidArg);
  return static_cast<std::int32_t>(verify_authenticode(file_name_from_wide(data->pFile->pcwszFilePath)));
}

}  // namespace krCore::detail
