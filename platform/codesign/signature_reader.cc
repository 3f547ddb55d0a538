// Finding and decoding the signature a file carries at its end.
#include <sys/stat.h>

#include <openssl/objects.h>

#include <span>
#include <vector>

#include "platform/codesign/file_reading.h"
#include "platform/codesign/signature_checks.h"

namespace tamsel::codesign {
namespace {

bool signedAttributeIs(CMS_SignerInfo* si, int nid, int type) {
  return CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(nid), -3, type) != nullptr;
}

}  // namespace

const ASN1_OBJECT* identifierAttributeObject() {
  static const ASN1_OBJECT* const object = OBJ_txt2obj(kIdentifierAttributeOid, 1);
  return object;
}

OSStatus decodeEmbeddedCms(std::span<const unsigned char> der, EmbeddedSignature& out) {
  const unsigned char* p = der.data();
  out.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  if (!out.cms || p != der.data() + der.size()) return errSecCSBadObjectFormat;
  CMS_ContentInfo* cms = out.cms.get();
  if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed) return errSecCSBadObjectFormat;
  ASN1_OCTET_STRING** content = CMS_get0_content(cms);
  if (content == nullptr || *content != nullptr) return errSecCSBadObjectFormat;  // not detached
  if (OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_pkcs7_data) return errSecCSBadObjectFormat;

  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
  if (sk_CMS_SignerInfo_num(infos) != 1) return errSecCSBadObjectFormat;
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
  // Signed attributes carry the content digest and the identifier; a bare signature is refused.
  if (CMS_signed_get_attr_count(si) <= 0 ||
      !signedAttributeIs(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING)) {
    return errSecCSBadObjectFormat;
  }
  const auto* contentType = static_cast<const ASN1_OBJECT*>(
      CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_contentType), -3, V_ASN1_OBJECT));
  if (contentType == nullptr || OBJ_obj2nid(contentType) != NID_pkcs7_data) {
    return errSecCSBadObjectFormat;
  }

  CMS_set1_signers_certs(cms, nullptr, 0);
  EVP_PKEY* key = nullptr;
  X509* signer = nullptr;
  X509_ALGOR* digestAlgorithm = nullptr;
  X509_ALGOR* signatureAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(si, &key, &signer, &digestAlgorithm, &signatureAlgorithm);
  if (signer == nullptr || key == nullptr || digestAlgorithm == nullptr) {
    return errSecCSBadObjectFormat;
  }
  const ASN1_OBJECT* digestOid = nullptr;
  X509_ALGOR_get0(&digestOid, nullptr, nullptr, digestAlgorithm);
  if (OBJ_obj2nid(digestOid) != NID_sha256) return errSecCSBadObjectFormat;

  const ASN1_OBJECT* idOid = identifierAttributeObject();
  if (idOid == nullptr) return errSecCSBadObjectFormat;
  if (CMS_signed_get_attr_by_OBJ(si, idOid, -1) >= 0) {
    const auto* id = static_cast<const ASN1_STRING*>(
        CMS_signed_get0_data_by_OBJ(si, idOid, -3, V_ASN1_UTF8STRING));
    if (id == nullptr) return errSecCSBadObjectFormat;
    out.identifier.emplace(reinterpret_cast<const char*>(ASN1_STRING_get0_data(id)),
                           static_cast<std::size_t>(ASN1_STRING_length(id)));
  }
  out.signerInfo = si;
  out.signer = signer;
  return errSecSuccess;
}

OSStatus readEmbeddedSignature(int fd, EmbeddedSignature& out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 0) return errSecCSBadObjectFormat;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < kTrailerSize) return errSecCSUnsigned;
  std::array<std::uint8_t, kTrailerSize> tail{};
  if (!preadFully(fd, tail.data(), tail.size(), size - kTrailerSize)) {
    return errSecCSBadObjectFormat;
  }
  out.layout = parseTrailer(tail, size);
  if (out.layout.state == TrailerState::kAbsent) return errSecCSUnsigned;
  if (out.layout.state == TrailerState::kMalformed) return errSecCSBadObjectFormat;
  std::vector<unsigned char> der(out.layout.cmsLength);
  if (!preadFully(fd, der.data(), der.size(), out.layout.contentLength)) {
    return errSecCSBadObjectFormat;
  }
  return decodeEmbeddedCms(der, out);
}

}  // namespace tamsel::codesign
