#include <openssl/err.h>

#include "platform/codesign/code_signing_tools.h"
#include "platform/codesign/signature_checks.h"
#include "platform/codesign/static_code.h"

namespace tamsel::codesign {
namespace {

std::string nameText(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

CertificateSummary summary(X509* cert) {
  CertificateSummary out{
      nameText(X509_get_subject_name(cert)), nameText(X509_get_issuer_name(cert)), {}};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &size) == 1) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < size; ++i) {
      out.sha256.push_back(kHex[digest[i] >> 4]);
      out.sha256.push_back(kHex[digest[i] & 0xF]);
    }
  }
  return out;
}

}  // namespace

OSStatus copySigningInformation(const StaticCode& code, SigningInformation& out) {
  out = SigningInformation{};
  EmbeddedSignature signature;
  const OSStatus status = readEmbeddedSignature(code.fd(), signature);
  ERR_clear_error();
  if (status != errSecSuccess) return status;
  out.contentLength = signature.layout.contentLength;
  out.signatureLength = signature.layout.cmsLength;
  out.identifier = signature.identifier;
  out.certificates.push_back(summary(signature.signer));
  X509StackPtr carried(CMS_get1_certs(signature.cms.get()));
  for (int i = 0; i < sk_X509_num(carried.get()); ++i) {
    X509* cert = sk_X509_value(carried.get(), i);
    if (X509_cmp(cert, signature.signer) != 0) out.certificates.push_back(summary(cert));
  }
  out.leafSubject = certificateFacts(signature.signer).subject;
  return errSecSuccess;
}

}  // namespace tamsel::codesign
