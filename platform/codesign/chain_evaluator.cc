// The signer's chain to the anchor and what its certificates say.
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "platform/codesign/signature_checks.h"

namespace tamsel::codesign {
namespace {

constexpr int kMaxChainDepth = 8;

const char* attributeName(int nid) {
  switch (nid) {
    case NID_commonName:
      return "CN";
    case NID_organizationName:
      return "O";
    case NID_organizationalUnitName:
      return "OU";
    case NID_countryName:
      return "C";
    case NID_localityName:
      return "L";
    case NID_stateOrProvinceName:
      return "ST";
    default:
      return nullptr;
  }
}

std::vector<NameAttribute> nameAttributes(const X509_NAME* name) {
  std::vector<NameAttribute> out;
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const char* type = attributeName(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    if (type == nullptr) continue;
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    // An attribute that does not convert is kept with a value no text can equal.
    if (length < 0) {
      out.emplace_back(type, std::string(1, '\0'));
      continue;
    }
    out.emplace_back(
        type, std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length)));
    OPENSSL_free(utf8);
  }
  return out;
}

// Keys that may sign code: the leaf allows digital signatures and, when it restricts extended key
// usage, code signing; a CA between the leaf and the anchor that restricts it allows code signing.
bool usageAllowsCodeSigning(STACK_OF(X509) * chain) {
  const int count = sk_X509_num(chain);
  for (int i = 0; i + 1 < count; ++i) {
    X509* cert = sk_X509_value(chain, i);
    const std::uint32_t flags = X509_get_extension_flags(cert);
    const std::uint32_t xku = X509_get_extended_key_usage(cert);
    if (i == 0) {
      if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & KU_DIGITAL_SIGNATURE)) {
        return false;
      }
      if ((flags & EXFLAG_XKUSAGE) && !(xku & XKU_CODE_SIGN)) return false;
    } else if ((flags & EXFLAG_XKUSAGE) && !(xku & (XKU_CODE_SIGN | XKU_ANYEKU))) {
      return false;
    }
  }
  return true;
}

bool verifyToAnchor(X509* signer, STACK_OF(X509) * carried, X509* anchor, SigningFacts& facts) {
  X509StorePtr store(X509_STORE_new());
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!store || !ctx || X509_STORE_add_cert(store.get(), anchor) != 1) return false;
  if (X509_STORE_CTX_init(ctx.get(), store.get(), signer, carried) != 1) return false;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
  // Signed code stays valid after its certificates expire: no time checks.
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_X509_STRICT);
  X509_VERIFY_PARAM_set_depth(param, kMaxChainDepth);
  if (X509_verify_cert(ctx.get()) != 1) return false;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  // The anchor signing code itself is not a chain: a leaf must stand below it.
  if (sk_X509_num(chain) < 2 || !usageAllowsCodeSigning(chain)) return false;
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    facts.chain.push_back(certificateFacts(sk_X509_value(chain, i)));
  }
  return true;
}

}  // namespace

CertificateFacts certificateFacts(X509* certificate) {
  return CertificateFacts{nameAttributes(X509_get_subject_name(certificate)),
                          nameAttributes(X509_get_issuer_name(certificate))};
}

void evaluateChain(const EmbeddedSignature& signature, X509* anchor, SigningFacts& facts) {
  facts.chainTrusted = false;
  facts.chain.clear();
  X509StackPtr carried(CMS_get1_certs(signature.cms.get()));
  if (anchor != nullptr && verifyToAnchor(signature.signer, carried.get(), anchor, facts)) {
    facts.chainTrusted = true;
    return;
  }
  facts.chain.clear();
  facts.chain.push_back(certificateFacts(signature.signer));
  for (int i = 0; i < sk_X509_num(carried.get()); ++i) {
    X509* cert = sk_X509_value(carried.get(), i);
    if (X509_cmp(cert, signature.signer) != 0) facts.chain.push_back(certificateFacts(cert));
  }
}

}  // namespace tamsel::codesign
